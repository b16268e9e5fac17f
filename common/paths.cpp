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
    return QStringLiteral("../update-tmp/");
}
QString offeredConfigPath()
{
    return QStringLiteral("../update-tmp/config.ini");
}
QString offeredSignaturePath()
{
    return QStringLiteral("../update-tmp/config.ini.minisig");
}
QString databasePackagePath()
{
    return QStringLiteral("../update-tmp/rcdb.zip");
}
QString newDatabasePath()
{
    return QStringLiteral("../update-tmp/rc.db");
}
QString newDatabaseJournalPath()
{
    return QStringLiteral("../update-tmp/rc.db-journal");
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
    return QStringLiteral("../update-tmp/main.zip");
}
QString productPackagePath()
{
    return QStringLiteral("../update-tmp/kestrelix.zip");
}
QString otherPackagePath()
{
    return QStringLiteral("../update-tmp/other.zip");
}

QString distributorPackagePath(const QString &distributor)
{
    return QStringLiteral("../update-tmp/distributor-") + distributor + QStringLiteral(".zip");
}

QString extractedExecutablePath()
{
    return QStringLiteral("../software.exe");
}

QString executableFileName(const QString &softwareName)
{
    return softwareName.toLower() + QStringLiteral(".exe");
}

QString installedExecutablePath(const QString &softwareName)
{
    return QStringLiteral("../") + executableFileName(softwareName);
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
