#pragma once

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include "common/errorstring.h"

// A dated ZIP copy of rc.db in ../backup, one entry "rc.db" streamed from disk with the file's
// permissions and deflated fast enough to stay beside the merge (Zip::Writer::writeOneFile). The
// archive is written under a name of its own ("….zip.part"), put on the disk and only then renamed
// to its date, so that an archive by that name is always whole; what a killed run left is removed
// by the next prune. Backups are kept for 60 days.
class DatabaseBackup : public ErrorString
{
public:
    DatabaseBackup(const QString &database, const QString &archivePath);

    // "<folder>/rcdb-yyMMdd-hhmm.zip" in local time; a second backup in the same minute replaces
    // the first.
    static QString archivePath(const QString &folder, const QDateTime &localTime);
    // Deletes every file in folder, hidden ones included, whose last change lies more than 60
    // calendar days before today, and every partial archive of a killed run. Links and folders
    // stay. Returns the absolute paths deleted.
    static QStringList prune(const QString &folder, const QDate &today);
    // begin() and finish() in one.
    bool write();

    // Checks that the archive can be made and the database read; nothing is written yet.
    bool begin();
    // Compresses the database into the archive, only reading the database, and may run on any
    // thread (see ParallelBackup). The archive and its folder are on the disk when it returns
    // true; on failure nothing is left at the archive's path.
    bool finish();

    static QString partSuffix() { return QStringLiteral(".part"); }

private:
    QString m_database;
    QString m_archive;
};
