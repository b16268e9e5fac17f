#pragma once

#include <atomic>
#include <memory>

#include <QList>
#include <QObject>
#include <QPair>
#include <QThread>

#include "common/errorstring.h"
#include "common/files/platform.h"

class DatabaseBackup;

// The backup of ../rc.db written on a thread of its own while the release is unpacked and
// merged: compressing takes as long as the merge, and both only read ../rc.db. What the user
// sees keeps its order all the same: while the backup is written, each report of the work beside
// it moves the bar through the backup's own part (100 to 200, by the bytes read) and is held;
// once the backup is whole, 200 and the held reports are passed on. A backup that fails drops
// them, and its step ends the update as before.
class ParallelBackup : public QObject, public ErrorString
{
    Q_OBJECT

public:
    // backup must have begun (DatabaseBackup::begin); it and the open database outlive this
    // object.
    ParallelBackup(DatabaseBackup &backup, Platform::File &database, const Platform::FileInfo &info,
                   QObject *parent = nullptr);
    // Waits for the thread: the archive is never left half-written behind the caller's back.
    ~ParallelBackup() override;

    void start();
    // A report of the work beside the backup: passed on at once when the backup is whole, held
    // until then.
    void report(int current, int total);
    // Waits until the backup is written; true when it is whole, and then the held reports have
    // been passed on. errorString() says why not.
    bool wait();

signals:
    void progress(int current, int total);

private:
    void release();
    void showBackupProgress();

    DatabaseBackup &m_backup;
    Platform::File &m_database;
    Platform::FileInfo m_info;
    std::unique_ptr<QThread> m_thread;
    std::atomic<bool> m_written{false};
    std::atomic<qint64> m_read{0};
    int m_shown = 0;
    bool m_released = false;
    QList<QPair<int, int>> m_held;
};
