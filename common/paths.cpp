#include "common/paths.h"

#include <QRegularExpression>

namespace Paths {

QString installationFolder()
{
    return QStringLiteral("..");
}
QString installedConfigPath()
{
    return QStringLiteral("../config.ini");
}
QString installedDatabasePath()
{
    return QStringLiteral("../rc.db");
}
QString backupFolder()
{
    return QStringLiteral("../backup");
}
QString updateFolder()
{
    return QStringLiteral("../update-tmp");
}

namespace {

QString offered(const QString &name)
{
    return updateFolder() + QLatin1Char('/') + name;
}

} // namespace

QString offeredConfigPath()
{
    return offered(QStringLiteral("config.ini"));
}
QString offeredSignaturePath()
{
    return offered(QStringLiteral("config.ini.minisig"));
}
QString databasePackagePath()
{
    return offered(QStringLiteral("rcdb.zip"));
}
QString legacyReleasePath()
{
    return offered(QStringLiteral("rc.db"));
}
QString runLockPath()
{
    return QStringLiteral("../.update-lock");
}
QString workFolderPrefix()
{
    return QStringLiteral(".update-work-");
}
QString releaseFileName()
{
    return QStringLiteral("rc.db");
}
QString mainPackagePath()
{
    return offered(QStringLiteral("main.zip"));
}
QString productPackagePath()
{
    return offered(QStringLiteral("kestrelix.zip"));
}
QString otherPackagePath()
{
    return offered(QStringLiteral("other.zip"));
}

QString distributorPackagePath(const QString &distributor)
{
    return offered(QStringLiteral("distributor-") + distributor + QStringLiteral(".zip"));
}

QString extractedExecutablePath()
{
    return QStringLiteral("../software.exe");
}

QString executableFileName(const QString &softwareName)
{
    return softwareName.toLower() + QStringLiteral(".exe");
}

bool isPlainName(const QString &name)
{
    static const QRegularExpression driveLetter(QStringLiteral("^[A-Za-z]:"));
    return !name.isEmpty() && !name.contains(QLatin1Char('/')) &&
           !name.contains(QLatin1Char('\\')) && !name.contains(QStringLiteral("..")) &&
           !name.contains(driveLetter);
}

QString runLogPath()
{
    return QStringLiteral("update.log");
}

QString packageKeyPath()
{
    return QStringLiteral("package-key.pub");
}

QString qtTranslationFile(const QString &language)
{
    return QStringLiteral("Languages/qt_") + language + QStringLiteral(".qm");
}

QString updaterTranslationFile(const QString &language)
{
    return QStringLiteral("Languages/update_") + language + QStringLiteral(".qm");
}

} // namespace Paths
