#pragma once

#include "common/errorstring.h"

// One run at a time: an advisory lock on ../.update-lock, held for the whole update. A second
// updater (a double start) waits for it and then gives up, touching nothing.
class RunLock : public ErrorString
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

    static constexpr int defaultTimeoutMs = 10000;

private:
    int m_descriptor = -1;
};
