#pragma once

#include <QSqlDatabase>
#include <QString>

#include "common/errorstring.h"
#include "common/files/platform.h"
#include "database/sqlconnection.h"

// The user's ../rc.db, held by the run alone from before the backup until the new release is in
// its place, through the one connection that also reads the own models ("curDB").
//
// The file itself (a link followed) is opened once, before SQLite opens it, and that descriptor
// stays open until the hold ends: the backup reads through it. On POSIX, closing any descriptor
// of a file drops every lock the process holds on it, so no other descriptor of the file is
// opened and closed while the hold lasts.
//
// Taking it waits a bounded time for every other user that SQLite can see: a read transaction, a
// pending or exclusive write, a WAL reader. Whatever journal the file has is recovered by SQLite
// first, wherever it lies (beside a link's target for a linked file), and a WAL is checkpointed
// into the file and left, so that the backup reads one committed state and no old WAL can stay
// beside the new file. A connection that holds no lock can not be seen: the application must be
// closed during an update.
class CurrentDatabase : public ErrorString
{
public:
    static constexpr int defaultWaitMs = 10000;

    explicit CurrentDatabase(const QString &path);
    ~CurrentDatabase();
    CurrentDatabase(const CurrentDatabase &) = delete;
    CurrentDatabase &operator=(const CurrentDatabase &) = delete;

    void setWait(int milliseconds) { m_waitMs = milliseconds; }

    // Opens the file and the folder it lies in. False when it is missing or not a regular file,
    // or when, run as root, its folder can be written by other accounts (folderUnsafe()).
    [[nodiscard]] bool open();
    bool folderUnsafe() const { return m_folderUnsafe; }
    Platform::File &file() { return m_descriptor; }
    // The file's size, owner, mode and time: as it was opened, and once held, as the hold left it.
    const Platform::FileInfo &info() const { return m_info; }
    // The folder of the file itself, where the new release must land so that a link stays.
    Platform::Folder &folder() { return m_folder; }

    // False when the file can not be opened as a database or another user keeps it all the
    // time; nothing of it has changed then. errorString() says which.
    [[nodiscard]] bool acquire();
    QSqlDatabase database() const { return m_connection.database(); }

    // Renames release of work (a finished file on the same file system) over the file, with its
    // owner and mode, and lets go of it. What belonged to the old file (its journal, a WAL) goes
    // first, while nobody else can have opened the new one. renameFailed() tells a failed rename
    // from a release that could not be made ready.
    [[nodiscard]] bool replaceWith(Platform::Folder &work, const QString &release);
    bool renameFailed() const { return m_renameFailed; }

private:
    bool takeOnce(bool *busy);
    bool hasHotJournal();

    QString m_path;
    QString m_name;
    Platform::Folder m_folder;
    Platform::File m_descriptor;
    Platform::FileInfo m_info;
    SqlConnection m_connection;
    int m_waitMs = defaultWaitMs;
    bool m_folderUnsafe = false;
    bool m_held = false;
    bool m_leftWal = false;
    bool m_replaced = false;
    bool m_renameFailed = false;
};
