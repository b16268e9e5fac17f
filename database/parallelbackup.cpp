#include "database/parallelbackup.h"

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
        m_written = m_backup.finish(m_database, m_info);
        if (m_written)
            qCDebug(lcDatabase) << "Backup written";
    }));
    m_thread->start();
}

void ParallelBackup::report(int current, int total)
{
    if (!m_released && m_thread->isFinished() && m_written)
        release();
    if (m_released)
        emit progress(current, total);
    else
        m_held.append({current, total});
}

bool ParallelBackup::wait()
{
    m_thread->wait();
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
    emit progress(Contract::Progress::unpacked, Contract::Progress::total);
    for (const auto &held : std::as_const(m_held))
        emit progress(held.first, held.second);
    m_held.clear();
}
