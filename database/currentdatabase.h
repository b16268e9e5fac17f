#pragma once

#include <QSqlDatabase>
#include <QString>

#include "common/errorstring.h"
#include "database/sqlconnection.h"

// The user's ../rc.db, held by the run alone from before the backup until the new release is in
// its place, through the one connection that also reads the own models ("curDB").
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
    // False when the file can not be opened as a database or another user keeps it all the
    // time; nothing of it has changed then. errorString() says which.
    bool acquire();
    QSqlDatabase database() const { return m_connection.database(); }
    // The file itself, a link followed: where the new release lands, so that the link stays.
    QString filePath() const { return m_file; }

    // Renames release (a finished file in a folder beside filePath()) over the file, keeping its
    // owner and mode, and lets go of it. What belonged to the old file (its journal, a WAL)
    // goes first, while nobody else can have opened the new one. renameFailed() tells a failed
    // rename from a release that could not be made ready.
    bool replaceWith(const QString &release);
    bool renameFailed() const { return m_renameFailed; }

private:
    bool takeOnce(bool *busy);

    QString m_path;
    QString m_file;
    SqlConnection m_connection;
    int m_waitMs = defaultWaitMs;
    bool m_held = false;
    bool m_leftWal = false;
    bool m_replaced = false;
    bool m_renameFailed = false;
};
