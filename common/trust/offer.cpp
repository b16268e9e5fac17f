#include "common/trust/offer.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QTemporaryFile>

#include "common/diagnostics/checkpoint.h"
#include "common/files/untrustedfile.h"
#include "common/logging.h"
#include "common/paths.h"

namespace {

const QString packagesGroup = QStringLiteral("Packages");

// The INI store reads only from a file: the bytes that were taken are parsed from a private
// copy, so that what is read is exactly what was checked, whatever happens to the offer meanwhile.
bool parseOffer(const QByteArray &bytes, const QString &scratchFolder, Settings::Offered *offered,
                QHash<QString, QString> *hashes)
{
    QTemporaryFile copy;
    if (!scratchFolder.isEmpty())
        copy.setFileTemplate(scratchFolder + QStringLiteral("/offer-XXXXXX.ini"));
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

// A name of the INI text as the settings store would read it, compared without regard to case.
QString iniName(const QByteArray &raw)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(raw.trimmed()))
        .replace(QLatin1Char('\\'), QLatin1Char('/'))
        .trimmed()
        .toLower();
}

bool isSigned(const QString &name)
{
    for (const char *section : {"updateinfo", "packages"})
        if (name == QLatin1String(section) ||
            name.startsWith(QLatin1String(section) + QLatin1Char('/')))
            return true;
    return false;
}

// The first section or key of [UpdateInfo] and [Packages] that the text names twice. The store
// would take one of them silently; which one is not something a signature should leave open.
QString doubledEntry(const QByteArray &bytes)
{
    QSet<QString> seen;
    QString section;
    const QList<QByteArray> lines = bytes.split('\n');
    for (const QByteArray &raw : lines) {
        const QByteArray line = raw.trimmed();
        if (line.isEmpty() || line.startsWith(';') || line.startsWith('#'))
            continue;
        QString name;
        if (line.startsWith('[')) {
            const qsizetype end = line.indexOf(']');
            section = iniName(line.mid(1, end < 0 ? -1 : end - 1));
            if (section == QLatin1String("general"))
                section.clear();
            name = QLatin1Char('[') + section + QLatin1Char(']');
            if (!isSigned(section))
                continue;
        } else {
            const qsizetype equals = line.indexOf('=');
            if (equals < 0)
                continue;
            name = iniName(line.left(equals));
            if (!section.isEmpty())
                name.prepend(section + QLatin1Char('/'));
            if (!isSigned(name))
                continue;
        }
        if (seen.contains(name))
            return name;
        seen.insert(name);
    }
    return QString();
}

// A copy of file as name in folder, made while it is hashed; the copy opened for reading, its
// name already gone, so that nothing of it stays behind.
struct HashedCopy
{
    std::shared_ptr<QFile> file;
    QByteArray hash;
    QString errorString;
};

HashedCopy hashedCopy(QFile &file, Platform::Folder &folder, const QString &name)
{
    QCryptographicHash sha256(QCryptographicHash::Sha256);
    folder.removeTree(name);
    Platform::File copy = folder.createFile(name, 0600);
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    qint64 n = 0;
    while (copy.isOpen() && (n = file.read(chunk.data(), chunk.size())) > 0) {
        sha256.addData(QByteArrayView(chunk.constData(), n));
        if (!copy.write(chunk.constData(), n))
            break;
    }
    Platform::File reading = folder.openForReading(name, false);
    folder.remove(name);
    if (!copy.isOpen() || n != 0 || !copy.errorString().isEmpty() || !reading.isOpen())
        return {nullptr, QByteArray(),
                n < 0                           ? file.errorString()
                : !copy.errorString().isEmpty() ? copy.errorString()
                                                : folder.errorString()};
    auto opened = std::make_shared<QFile>();
    const int fd = reading.release();
    if (!opened->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        Platform::File(fd).close();
        return {nullptr, QByteArray(), opened->errorString()};
    }
    return {opened, sha256.result().toHex(), QString()};
}

} // namespace

QList<Minisign::PublicKey> Offer::installedKeys()
{
    // A key that is there but can not be read stands in the list as a key that matches no
    // signature: the maker meant offers to be checked, so nothing passes unchecked.
    QList<Minisign::PublicKey> keys;
    Minisign::PublicKey key;
    Platform::Folder updater;
    UntrustedFile keyFile;
    const bool taken = updater.open(QFileInfo(Paths::packageKeyPath()).absolutePath()) &&
                       keyFile.read(updater, QFileInfo(Paths::packageKeyPath()).fileName(), true,
                                    maxSignatureBytes);
    if (taken || !keyFile.isAbsent()) {
        if (!taken || !Minisign::parsePublicKey(keyFile.data(), &key)) {
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

Offer Offer::read(const Platform::Folder *scratch)
{
    return read(installedKeys(), scratch);
}

bool Offer::followsLinks() const
{
    if (!Platform::isPrivileged() || !m_downloads)
        return true;
    const Platform::FileInfo folder = m_downloads->info();
    return folder.owner == 0 && (folder.permissions & 022) == 0;
}

Offer Offer::read(const QList<Minisign::PublicKey> &trustedKeys, const Platform::Folder *scratch)
{
    const QString configPath = Paths::offeredConfigPath();
    const QString signaturePath = Paths::offeredSignaturePath();
    Offer offer;
    offer.m_verifying = !trustedKeys.isEmpty();
    if (!offer.m_verifying)
        qCDebug(lcUpdate) << "No package key installed: offers and packages are not verified";

    // An offer that is not there, or can not be opened, offers nothing: every version reads as
    // none. It is never looked at again, so nothing put there later passes unchecked.
    auto own = std::make_shared<Platform::Folder>();
    if (scratch && own->openSame(*scratch))
        offer.m_scratch = own;
    const QString scratchFolder =
        offer.m_scratch ? offer.m_scratch->pathTo(QStringLiteral(".")) : QString();
    auto downloads = std::make_shared<Platform::Folder>();
    if (downloads->open(Paths::updateFolder()))
        offer.m_downloads = downloads;
    UntrustedFile config;
    const bool taken =
        offer.m_downloads && config.read(*downloads, QFileInfo(configPath).fileName(),
                                         offer.followsLinks(), maxOfferBytes);
    Checkpoint::reach(QStringLiteral("offer read"));
    if (!taken && (!offer.m_downloads || !config.isRefused())) {
        qCDebug(lcUpdate).noquote()
            << "Nothing offered:" << configPath
            << (offer.m_downloads ? config.errorString() : downloads->errorString());
        return offer;
    }
    if (!taken) {
        offer.failBecause(QStringLiteral("%1 %2").arg(configPath, config.errorString()));
        return offer;
    }
    const QByteArray bytes = config.data();
    if (!parseOffer(bytes, scratchFolder, &offer.m_offered, &offer.m_hashes)) {
        offer.m_offered = Settings::Offered();
        offer.failBecause(QStringLiteral("the offer can not be read"));
        return offer;
    }
    if (!offer.m_verifying)
        return offer;

    UntrustedFile signature;
    if (!signature.read(*downloads, QFileInfo(signaturePath).fileName(), offer.followsLinks(),
                        maxSignatureBytes)) {
        offer.failBecause(signature.isAbsent() ? QStringLiteral("%1 is missing").arg(signaturePath)
                                               : QStringLiteral("%1 %2").arg(
                                                     signaturePath, signature.errorString()));
        return offer;
    }
    Minisign::Verifier verifier;
    if (!verifier.verify(bytes, signature.data(), trustedKeys)) {
        offer.failBecause(QStringLiteral("%1: %2").arg(signaturePath, verifier.errorString()));
        return offer;
    }
    const QString doubled = doubledEntry(bytes);
    if (!doubled.isEmpty()) {
        offer.failBecause(QStringLiteral("%1 names %2 twice").arg(configPath, doubled));
        return offer;
    }
    qCDebug(lcUpdate).noquote() << "Offer" << configPath << "verified";
    return offer;
}

bool Offer::lists(const QString &packagePath) const
{
    return m_hashes.contains(QFileInfo(packagePath).fileName());
}

Package Offer::open(const QString &packagePath) const
{
    UntrustedFile taken;
    if (!m_downloads ||
        !taken.open(*m_downloads, QFileInfo(packagePath).fileName(), followsLinks())) {
        if (!m_downloads || taken.isAbsent()) {
            // What the maker signed must arrive; only an unsigned or unlisted package may be
            // absent.
            if (m_verifying && lists(packagePath))
                return Package::refused(
                    packagePath, QStringLiteral("is listed in the signed offer but missing"));
            return Package::absent(packagePath);
        }
        if (taken.isRefused())
            return Package::refused(packagePath, taken.errorString());
        return Package::refused(packagePath,
                                QStringLiteral("can not be opened: %1").arg(taken.errorString()));
    }
    std::shared_ptr<QFile> file = taken.file();
    if (m_verifying) {
        const QString listed = m_hashes.value(QFileInfo(packagePath).fileName());
        if (listed.isEmpty())
            return Package::refused(packagePath,
                                    QStringLiteral("is not listed in the signed offer"));
        if (!m_scratch)
            return Package::refused(packagePath,
                                    QStringLiteral("there is no folder to check it in"));
        const HashedCopy copied = hashedCopy(
            *file, *m_scratch, QStringLiteral("package-") + QFileInfo(packagePath).fileName());
        if (!copied.file)
            return Package::refused(packagePath,
                                    QStringLiteral("can not be read: %1").arg(copied.errorString));
        file = copied.file;
        const QByteArray &hash = copied.hash;
        if (QString::fromLatin1(hash) != listed)
            return Package::refused(packagePath,
                                    QStringLiteral("does not match its signed SHA-256"));
    }
    Checkpoint::reach(QStringLiteral("package checked: ") + packagePath);
    return Package::opened(packagePath, file);
}
