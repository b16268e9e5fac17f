#pragma once

#include <QString>

// Every path of an installation, relative to the updater's working folder, which is the
// updater's own folder inside the installation. The installation folder is always "..".
namespace Paths {

QString installationFolder();
QString installedConfigPath();
QString installedDatabasePath();
QString backupFolder();
QString updateFolder();
QString offeredConfigPath();
QString offeredSignaturePath();
QString databasePackagePath();
QString newDatabasePath();
QString newDatabaseJournalPath();
QString mainPackagePath();
QString productPackagePath();
QString otherPackagePath();
QString distributorPackagePath(const QString &distributor);
QString extractedExecutablePath();
QString executableFileName(const QString &softwareName);
QString installedExecutablePath(const QString &softwareName);
QString runLogPath();
QString packageKeyPath();
QString qtTranslationFile(const QString &language);
QString updaterTranslationFile(const QString &language);

} // namespace Paths
