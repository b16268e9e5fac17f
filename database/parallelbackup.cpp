#include "database/parallelbackup.h"

#include <QDeadlineTimer>

#include "common/contract.h"
#include "common/logging.h"
#include "database/databasebackup.h"

ParallelBackup::ParallelBackup(DatabaseBackup &backup, Platform::File &database,
                               const Platform::FileInfo &info, QObject *parent)
    : QObject(parent), m_backup(backup), m_database(database), m_info(info)
{}

ParallelBackup::~ParallelBackup()
{
    if (m_thread)
        m_thread->wait();
}

void ParallelBackup::start()
{
    m_thread.reset(QThread::create([this] {
        m_written = m_backup.finish(m_database, m_info, &m_read);
        if (m_written)
            qCDebug(lcDatabase) << "Backup written";
    }));
    m_thread->start();
}

void ParallelBackup::report(int current, int total)
{
    if (!m_released && m_thread->isFinished() && m_written)
        release();
    if (m_released) {
        emit progress(current, total);
        return;
    }
    showBackupProgress();
    m_held.append({current, total});
}

void ParallelBackup::showBackupProgress()
{
    constexpr int from = Contract::Progress::backupBegun;
    constexpr int span = Contract::Progress::backedUp - from;
    const qint64 size = qMax<qint64>(1, m_info.size);
    // The end of the range belongs to the backup once it is whole.
    const int value = from + int(qMin<qint64>(span - 1, span * m_read / size));
    if (value > qMax(m_shown, from)) {
        m_shown = value;
        emit progress(value, Contract::Progress::total);
    }
}

bool ParallelBackup::wait()
{
    // The bar keeps moving with the backup while the work beside it waits for it.
    while (!m_thread->wait(QDeadlineTimer(50))) {
        if (!m_released)
            showBackupProgress();
    }
    if (!m_written)
        return failBecause(m_backup.errorString());
    if (!m_released)
        release();
    return true;
}

void ParallelBackup::release()
{
    m_released = true;
    emit progress(Contract::Progress::backedUp, Contract::Progress::total);
    for (const auto &held : std::as_const(m_held))
        emit progress(held.first, held.second);
    m_held.clear();
}
