#pragma once

#include <QString>

// One run at a time: an advisory lock on ../.update-lock, held for the whole update. A second
// updater (a double start) waits for it and then gives up, touching nothing.
class RunLock
{
public:
    RunLock() = default;
    ~RunLock();
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

    // False when another run held the lock all the time, or the lock file can not be made;
    // errorString() then says which.
    bool acquire(int timeoutMs);
    void release();
    QString errorString() const { return m_error; }

    static constexpr int defaultTimeoutMs = 10000;

private:
    int m_descriptor = -1;
    QString m_error;
};

// The run's own folder beside ../rc.db, readable and writable by the updater's user only and on
// the same file system as the database, so that the new release reaches its place by one rename.
// Whatever the run takes from ../update-tmp/ and works on lives here: the unpacked release, its
// scratch copies, the private copy of the offer. Removed when the object goes; what a killed run
// left behind is removed by the next run once it holds the RunLock.
class WorkFolder
{
public:
    WorkFolder() = default;
    ~WorkFolder();
    WorkFolder(const WorkFolder &) = delete;
    WorkFolder &operator=(const WorkFolder &) = delete;

    // Makes a new folder in parent: unless told otherwise, the folder of ../rc.db's own file (a
    // link followed), else the installation folder.
    bool create(const QString &parent = QString());
    void remove();
    bool isValid() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    QString filePath(const QString &name) const;
    QString errorString() const { return m_error; }

    // Every work folder in parent (by default there and in the installation folder); only a run
    // that holds the RunLock may call this.
    static void removeLeftovers(const QString &parent = QString());

private:
    QString m_path;
    QString m_error;
};
