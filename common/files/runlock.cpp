#include "common/files/runlock.h"

#include "common/files/platform.h"
#include "common/paths.h"

RunLock::~RunLock()
{
    release();
}

bool RunLock::acquire(int timeoutMs)
{
    release();
    clearError();
    bool busy = false;
    m_descriptor = Platform::lockExclusively(Paths::runLockPath(), timeoutMs, &busy);
    if (m_descriptor >= 0)
        return true;
    return failBecause(busy ? QStringLiteral("another update is running")
                            : QStringLiteral("can not lock %1: %2")
                                  .arg(Paths::runLockPath(), Platform::errorString()));
}

void RunLock::release()
{
    if (m_descriptor >= 0)
        Platform::closeDescriptor(m_descriptor);
    m_descriptor = -1;
}
