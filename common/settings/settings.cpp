#include "common/settings/settings.h"

#include <QFile>
#include <QSettings>
#include <QStringList>
#include <QTemporaryFile>

#include "common/logging.h"
#include "common/paths.h"
#include "common/settings/inifile.h"
#include "common/versiondate.h"

namespace Settings {

QString defaultServerHost()
{
    return QStringLiteral(UPDATER_DEFAULT_SERVER_HOST);
}
QString defaultSoftwareName()
{
    return QStringLiteral("Kestrelix");
}

QString readText(const QSettings &settings, const char *key, const QString &fallback)
{
    const QVariant value = settings.value(QLatin1String(key));
    if (!value.isValid())
        return fallback;
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}

QDate readDate(const QSettings &settings, const char *key)
{
    return VersionDate::fromSetting(settings.value(QLatin1String(key)));
}

int readInteger(const QSettings &settings, const char *key)
{
    bool ok = false;
    const int value = settings.value(QLatin1String(key)).toInt(&ok);
    return ok ? value : 0;
}

QString readSoftwareName(const QSettings &settings)
{
    const QString name = readText(settings, Key::softwareName);
    return name.isEmpty() ? defaultSoftwareName() : name;
}

Installed readInstalled(const QString &path)
{
    // Programs built on older Qt releases wrote Latin-1 values ("Müller"); read as the store
    // reads UTF-8, they would arrive as U+FFFD. Such a file is read from a copy in UTF-8.
    QTemporaryFile copy;
    QString readFrom = path;
    QFile file(path);
    if (!file.exists())
        qCInfo(lcSettings).noquote() << path << "is missing: every setting has its default";
    if (file.open(QIODevice::ReadOnly)) {
        const QByteArray text = file.readAll();
        if (IniFile::encodingOf(text) == IniFile::Encoding::Unreadable)
            qCWarning(lcSettings).noquote()
                << path
                << "is neither UTF-16 with a byte order mark nor 8-bit text: it is read "
                   "as it is, and no version can be recorded in it";
        const QByteArray utf8 = IniFile::asUtf8(text);
        if (utf8 != text && copy.open() && copy.write(utf8) == utf8.size() && copy.flush())
            readFrom = copy.fileName();
    }
    const QSettings settings(readFrom, QSettings::IniFormat);
    Installed installed;
    installed.language = readText(settings, Key::language);
    installed.softwareName = readSoftwareName(settings);
    installed.rcTypes = readText(settings, Key::rcTypes);
    installed.company = readText(settings, Key::company, QStringLiteral("company"));
    installed.address = readText(settings, Key::address, QStringLiteral("address"));
    installed.contact = readText(settings, Key::contact, QStringLiteral("contact"));
    installed.serverHost = readText(settings, Key::serverHost, defaultServerHost());
    installed.distributor = readText(settings, Key::distributor);
    installed.main = readDate(settings, Key::main);
    installed.database = readDate(settings, Key::database);
    installed.other = readDate(settings, Key::other);
    return installed;
}

Installed readInstalled()
{
    return readInstalled(Paths::installedConfigPath());
}

Offered readOffered(const QString &path)
{
    const QSettings settings(path, QSettings::IniFormat);
    Offered offered;
    offered.main = readDate(settings, Key::main);
    offered.database = readDate(settings, Key::database);
    offered.other = readDate(settings, Key::other);
    offered.updateMode = readInteger(settings, Key::updateMode);
    return offered;
}

Offered readOffered()
{
    return readOffered(Paths::offeredConfigPath());
}

Recorded recordVersion(const char *key, const QDate &version, const QString &path)
{
    const QString name = QLatin1String(key);
    const qsizetype slash = name.indexOf(QLatin1Char('/'));
    IniFile file(path);
    if (file.setValue(name.left(slash), name.mid(slash + 1),
                      VersionDate::toSetting(version).toUtf8()))
        return {};
    return {file.errorString()};
}

Recorded recordVersion(const char *key, const QDate &version)
{
    return recordVersion(key, version, Paths::installedConfigPath());
}

} // namespace Settings
