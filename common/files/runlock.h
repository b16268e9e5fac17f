#pragma once

#include "common/errorstring.h"
#include "common/files/platform.h"

// One run at a time: an advisory lock on ../.update-lock, held for the whole update, and one on
// the installation folder itself, which no one can take away by removing a file. A second
// updater (a double start) waits for them and then gives up, touching nothing.
class RunLock : public ErrorString
{
public:
    RunLock() = default;
    RunLock(const RunLock &) = delete;
    RunLock &operator=(const RunLock &) = delete;

    // False when another run held the lock all the time, or the lock file can not be made;
    // errorString() then says which and busy() tells the first.
    [[nodiscard]] bool acquire(const Platform::Folder &installation, int timeoutMs);
    void release();
    bool busy() const { return m_busy; }

    static constexpr int defaultTimeoutMs = 10000;

private:
    Platform::Folder m_folder;
    Platform::File m_file;
    bool m_busy = false;
};
