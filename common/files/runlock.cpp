#include "common/files/runlock.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include "common/paths.h"

bool RunLock::acquire(const Platform::Folder &installation, int timeoutMs)
{
    release();
    clearError();
    m_busy = false;
    const QString name = QFileInfo(Paths::runLockPath()).fileName();
    QElapsedTimer waited;
    waited.start();
    // The folder first: a run whose lock file was removed under it still holds the folder.
    if (!m_folder.openSame(installation))
        return failBecause(m_folder.errorString());
    while (!m_folder.tryLock()) {
        if (waited.elapsed() >= timeoutMs) {
            m_folder.close();
            m_busy = true;
            return failBecause(QStringLiteral("another update is running"));
        }
        QThread::msleep(50);
    }
    m_file = m_folder.lockFile(name, int(qMax<qint64>(0, timeoutMs - waited.elapsed())), &m_busy);
    if (m_file.isOpen())
        return true;
    const QString why = m_busy ? QStringLiteral("another update is running")
                               : QStringLiteral("can not lock %1: %2")
                                     .arg(Paths::runLockPath(), m_folder.errorString());
    m_folder.close();
    return failBecause(why);
}

void RunLock::release()
{
    m_file.close();
    m_folder.close();
}
