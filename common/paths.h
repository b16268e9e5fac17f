#pragma once

#include <QString>

// Every path of an installation, relative to the updater's working folder, which is the
// updater's own folder inside the installation. The installation folder is always "..".
namespace Paths {

QString installationFolder();
QString installedConfigPath();
QString installedDatabasePath();
QString backupFolder();
// The download folder; everything offered lies in it.
QString updateFolder();
QString offeredConfigPath();
QString offeredSignaturePath();
QString databasePackagePath();
// Where older versions unpacked the release (and its journal beside it); removed when the
// database step begins, never written.
QString legacyReleasePath();
// The run's lock, and the name its private work folders begin with, both in the installation.
QString runLockPath();
QString workFolderPrefix();
// The release's file inside a run's work folder.
QString releaseFileName();
QString mainPackagePath();
QString productPackagePath();
QString otherPackagePath();
QString distributorPackagePath(const QString &distributor);
QString extractedExecutablePath();
QString executableFileName(const QString &softwareName);
// True for a name that stays in the installation folder: no separator, no "..", no drive
// letter.
bool isPlainName(const QString &name);
QString runLogPath();
QString packageKeyPath();
QString qtTranslationFile(const QString &language);
QString updaterTranslationFile(const QString &language);

} // namespace Paths
