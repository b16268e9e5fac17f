#include "common/offer.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>

#include "common/logging.h"
#include "common/paths.h"

namespace {

const QString packagesGroup = QStringLiteral("Packages");

QByteArray readAll(const QString &path, bool *ok)
{
    QFile file(path);
    *ok = file.open(QIODevice::ReadOnly);
    return *ok ? file.readAll() : QByteArray();
}

// The INI store reads only from a file: the bytes that were checked are parsed from a private
// copy, so that what is read is exactly what was signed, whatever happens to the offer meanwhile.
bool parseOffer(const QByteArray &bytes, Settings::Offered *offered,
                QHash<QString, QString> *hashes)
{
    QTemporaryFile copy;
    if (!copy.open() || copy.write(bytes) != bytes.size() || !copy.flush())
        return false;
    *offered = Settings::readOffered(copy.fileName());
    QSettings settings(copy.fileName(), QSettings::IniFormat);
    settings.beginGroup(packagesGroup);
    const QStringList names = settings.childKeys();
    for (const QString &name : names)
        hashes->insert(name, Settings::readText(settings, name.toUtf8().constData()).toLower());
    return true;
}

Package refused(const QString &path, const QString &why)
{
    Package package;
    package.state = Package::State::Refused;
    package.path = path;
    package.refusal = why;
    return package;
}

QByteArray sha256Of(QFile &file, bool *ok)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    *ok = hash.addData(&file) && file.seek(0);
    return hash.result().toHex();
}

} // namespace

QList<Minisign::PublicKey> Offer::installedKeys()
{
    // A key that is there but can not be read stands in the list as a key that matches no
    // signature: the maker meant offers to be checked, so nothing passes unchecked.
    QList<Minisign::PublicKey> keys;
    Minisign::PublicKey key;
    if (QFileInfo::exists(Paths::packageKeyPath())) {
        bool readable = false;
        const QByteArray fileKey = readAll(Paths::packageKeyPath(), &readable);
        if (!readable || !Minisign::parsePublicKey(fileKey, &key)) {
            qCWarning(lcUpdate).noquote()
                << Paths::packageKeyPath() << "is not a minisign public key: no offer can pass";
            key = Minisign::PublicKey();
        }
        keys << key;
    }
    const QByteArray builtIn = QByteArrayLiteral(UPDATER_PACKAGE_PUBLIC_KEY);
    if (!builtIn.isEmpty()) {
        if (!Minisign::parsePublicKey(builtIn, &key)) {
            qCWarning(lcUpdate)
                << "The key built in is not a minisign public key: no offer can pass";
            key = Minisign::PublicKey();
        }
        keys << key;
    }
    return keys;
}

Offer Offer::read()
{
    return read(Paths::offeredConfigPath(), Paths::offeredSignaturePath(), installedKeys());
}

Offer Offer::read(const QString &configPath, const QString &signaturePath,
                  const QList<Minisign::PublicKey> &trustedKeys)
{
    Offer offer;
    offer.m_verifying = !trustedKeys.isEmpty();
    // Unchecked, the offer is read as it always was, straight from its file; nothing offered at
    // all is nothing to verify either, and every version reads as none.
    bool readable = false;
    const QByteArray bytes = offer.m_verifying ? readAll(configPath, &readable) : QByteArray();
    if (!offer.m_verifying || !readable) {
        if (!offer.m_verifying)
            qCDebug(lcUpdate) << "No package key installed: offers and packages are not verified";
        offer.m_offered = Settings::readOffered(configPath);
        return offer;
    }
    if (!parseOffer(bytes, &offer.m_offered, &offer.m_hashes)) {
        offer.m_refusal = QStringLiteral("the offer can not be read");
        return offer;
    }

    bool signed_ = false;
    const QByteArray signature = readAll(signaturePath, &signed_);
    QString why;
    if (!signed_)
        offer.m_refusal = QStringLiteral("%1 is missing").arg(signaturePath);
    else if (!Minisign::verify(bytes, signature, trustedKeys, &why))
        offer.m_refusal = QStringLiteral("%1: %2").arg(signaturePath, why);
    else
        qCDebug(lcUpdate).noquote() << "Offer" << configPath << "verified";
    return offer;
}

Package Offer::open(const QString &packagePath) const
{
    if (!QFileInfo::exists(packagePath))
        return Package{Package::State::Absent, packagePath, QString(), nullptr};
    auto file = std::make_shared<QFile>(packagePath);
    if (!file->open(QIODevice::ReadOnly))
        return refused(packagePath,
                       QStringLiteral("can not be opened: %1").arg(file->errorString()));
    if (m_verifying) {
        const QString name = QFileInfo(packagePath).fileName();
        const QString listed = m_hashes.value(name);
        if (listed.isEmpty())
            return refused(packagePath, QStringLiteral("is not listed in the signed offer"));
        bool ok = false;
        const QByteArray hash = sha256Of(*file, &ok);
        if (!ok)
            return refused(packagePath,
                           QStringLiteral("can not be read: %1").arg(file->errorString()));
        if (QString::fromLatin1(hash) != listed)
            return refused(packagePath, QStringLiteral("does not match its signed SHA-256"));
    }
    return Package{Package::State::Open, packagePath, QString(), std::move(file)};
}
