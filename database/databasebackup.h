#pragma once

#include <atomic>

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include "common/errorstring.h"
#include "common/files/platform.h"

// A dated ZIP copy of rc.db in ../backup, one entry "rc.db" with the file's permissions, deflated
// fast enough to stay beside the merge (Zip::OneFileArchive). The archive is written under a
// name of its own ("….zip.part"), made where nothing stands, with the database's owner and mode,
// put on the disk and only then renamed to its date, so that an archive by that name is always
// whole and never more readable than the database; what a killed run left is removed by the
// next prune. Backups are kept for 60 days.
class DatabaseBackup : public ErrorString
{
public:
    // The archive archiveName in folder, which the caller holds for as long as this lives.
    DatabaseBackup(Platform::Folder &folder, const QString &archiveName);
    ~DatabaseBackup();
    DatabaseBackup(const DatabaseBackup &) = delete;
    DatabaseBackup &operator=(const DatabaseBackup &) = delete;

    // "rcdb-yyMMdd-hhmm.zip" in local time; a second backup in the same minute replaces the
    // first.
    static QString archiveName(const QDateTime &localTime);
    // Deletes every file in folder, hidden ones included, whose last change lies more than 60
    // calendar days before today, and every partial archive of a killed run. Links and folders
    // stay. Returns the absolute paths deleted.
    static QStringList prune(Platform::Folder &folder, const QDate &today);

    // Makes the part file for a database of that owner and mode; nothing of the database is read
    // yet. A name that stands there (a killed run's part, a link) is removed as itself.
    [[nodiscard]] bool begin(const Platform::FileInfo &database);
    // Compresses the database, only reading it at offsets, and may run on any thread (see
    // ParallelBackup). The archive and its folder are on the disk when it returns true; on failure
    // nothing is left at the archive's name.
    // read, when given, counts the bytes of the database read so far.
    [[nodiscard]] bool finish(Platform::File &database, const Platform::FileInfo &info,
                              std::atomic<qint64> *read = nullptr);

    static QString partSuffix() { return QStringLiteral(".part"); }

private:
    Platform::Folder &m_folder;
    QString m_name;
    Platform::File m_part;
};
