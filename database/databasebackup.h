#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

// The dated ZIP copies of rc.db in ../backup, one entry "rc.db" each, kept for 60 days.
namespace DatabaseBackup {

// "<folder>/rcdb-yyMMdd-hhmm.zip" in local time; a second backup in the same minute replaces
// the first.
QString archivePath(const QString &folder, const QDateTime &localTime);

// Deletes every file in folder, hidden ones included, whose last change lies more than 60
// calendar days before today. Links and folders stay. Returns the absolute paths deleted.
QStringList prune(const QString &folder, const QDate &today);

// Writes the archive with the bytes and permissions of database, streamed from disk. On
// failure nothing is left at archivePath.
bool write(const QString &database, const QString &archivePath, QString *error = nullptr);

} // namespace DatabaseBackup
