#include "tests/support/otherprocess.h"

namespace {

const char *holdName(DatabaseUser::Hold hold)
{
    switch (hold) {
    case DatabaseUser::Hold::ReadTransaction:
        return "read";
    case DatabaseUser::Hold::PendingWrite:
        return "pending";
    case DatabaseUser::Hold::ExclusiveWrite:
        return "exclusive";
    case DatabaseUser::Hold::WalReader:
        return "wal-reader";
    }
    return "";
}

const char *const script = R"py(import sqlite3, sys
c = sqlite3.connect(sys.argv[1], isolation_level=None, timeout=0)
hold = sys.argv[2]
if hold == 'wal-reader':
    c.execute('PRAGMA journal_mode=WAL')
if hold in ('read', 'wal-reader'):
    c.execute('BEGIN')
    c.execute('SELECT count(*) FROM rcmodels').fetchall()
if hold == 'pending':
    c.execute('BEGIN IMMEDIATE')
    c.execute("INSERT INTO rcmodels(Rcid, Brand, Model, Own, Flag) VALUES (?, 'Held', 'Held', 1, 0)",
              (int(sys.argv[3]),))
if hold == 'exclusive':
    c.execute('BEGIN EXCLUSIVE')
print('holding', flush=True)
sys.stdin.read()
if c.in_transaction:
    c.execute('COMMIT')
c.close()
)py";

} // namespace

DatabaseUser::DatabaseUser(const QString &database, Hold hold)
{
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral("python3"),
                    {QStringLiteral("-c"), QString::fromUtf8(script), database,
                     QString::fromLatin1(holdName(hold)), QString::number(heldRcid)});
    m_holding = m_process.waitForStarted() && m_process.waitForReadyRead(30000) &&
                m_process.readLine().trimmed() == "holding";
}

DatabaseUser::~DatabaseUser()
{
    if (m_process.state() != QProcess::NotRunning)
        release();
}

bool DatabaseUser::release()
{
    m_process.closeWriteChannel();
    const bool ended = m_process.waitForFinished(30000);
    if (!ended)
        m_process.kill();
    m_process.waitForFinished();
    return ended && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}
