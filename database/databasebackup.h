#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include "common/zipwriter.h"

// A dated ZIP copy of rc.db in ../backup, one entry "rc.db" streamed from disk with the file's
// permissions. Backups are kept for 60 days.
class DatabaseBackup
{
public:
    DatabaseBackup(const QString &database, const QString &archivePath);

    // "<folder>/rcdb-yyMMdd-hhmm.zip" in local time; a second backup in the same minute replaces
    // the first.
    static QString archivePath(const QString &folder, const QDateTime &localTime);
    // Deletes every file in folder, hidden ones included, whose last change lies more than 60
    // calendar days before today. Links and folders stay. Returns the absolute paths deleted.
    static QStringList prune(const QString &folder, const QDate &today);
    // begin() and finish() in one.
    static bool write(const QString &database, const QString &archivePath,
                      QString *error = nullptr);

    // Checks that the archive can be made and the database read; nothing is written yet.
    bool begin(QString *error = nullptr);
    // Compresses the database into the archive, only reading the database, and may run on any
    // thread. On failure nothing is left at the archive's path.
    bool finish(QString *error = nullptr);

private:
    QString m_database;
    Zip::Writer m_writer;
};
