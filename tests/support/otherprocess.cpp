#include "tests/support/otherprocess.h"

#include <grp.h>
#include <unistd.h>

#include "tests/support/installation.h"

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
    case DatabaseUser::Hold::Probe:
        return "probe";
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
if hold == 'probe':
    import fcntl, os, struct
    c.execute('SELECT count(*) FROM rcmodels').fetchall()
    print('holding', flush=True)
    def commit(connection):
        try:
            connection.execute('BEGIN IMMEDIATE')
            connection.execute("INSERT INTO rcmodels(Rcid, Brand, Model, Own, Flag) "
                               "VALUES (?, 'Probe', 'Probe', 1, 0)", (int(sys.argv[3]),))
            connection.execute('COMMIT')
            return 'committed'
        except sqlite3.OperationalError:
            if connection.in_transaction:
                connection.execute('ROLLBACK')
            return 'refused'
    for line in sys.stdin:
        fd = os.open(sys.argv[1], os.O_RDONLY)
        asked = struct.pack('hh4xqqi4x', fcntl.F_WRLCK, 0, 0x40000000, 512, 0)
        kind = struct.unpack('hh4xqqi4x', fcntl.fcntl(fd, fcntl.F_GETLK, asked))[0]
        os.close(fd)
        fresh = sqlite3.connect(sys.argv[1], isolation_level=None, timeout=0)
        print('lock=' + ('free' if kind == fcntl.F_UNLCK else 'held'), 'fresh=' + commit(fresh),
              'early=' + commit(c), flush=True)
        fresh.close()
    sys.exit(0)
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
    m_holding = m_process.waitForStarted() && answer() == QLatin1String("holding");
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

QString DatabaseUser::answer()
{
    // A line may arrive in pieces.
    while (!m_process.canReadLine()) {
        if (!m_process.waitForReadyRead(30000))
            return QStringLiteral("no answer");
    }
    return QString::fromUtf8(m_process.readLine().trimmed());
}

QString DatabaseUser::probe()
{
    m_process.write("probe\n");
    return answer();
}

bool tearTransaction(const QString &database)
{
    const QString script = QStringLiteral("import os, sqlite3, sys\n"
                                          "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                          "c.execute('PRAGMA cache_size=1')\n"
                                          "c.execute('BEGIN')\n"
                                          "c.execute(\"UPDATE rcmodels SET Brand='torn'\")\n"
                                          "c.execute(\"UPDATE rckeys SET Name='torn'\")\n"
                                          "os._exit(0)\n");
    return runProgram(QStringLiteral("python3"), {QStringLiteral("-c"), script, database}) == 0;
}

namespace OtherAccount {

bool give(const QString &path)
{
    return runProgram(QStringLiteral("chown"),
                      {QStringLiteral("-R"), QStringLiteral("%1:%2").arg(uid).arg(gid), path}) == 0;
}

int run(const QString &command, const QString &workDir)
{
    // Root takes the account's rights for the command; acting as the account already, the
    // process has them.
    if (::geteuid() == 0)
        return runProgram(QStringLiteral("setpriv"),
                          {QStringLiteral("--reuid=%1").arg(uid),
                           QStringLiteral("--regid=%1").arg(gid), QStringLiteral("--clear-groups"),
                           QStringLiteral("sh"), QStringLiteral("-c"), command},
                          workDir);
    return runProgram(QStringLiteral("sh"), {QStringLiteral("-c"), command}, workDir);
}

} // namespace OtherAccount

ActingAs::ActingAs(uint uid, uint gid)
{
    const gid_t group = gid;
    // The saved ids stay root's, so that root's rights can come back.
    m_active = ::geteuid() == 0 && ::setgroups(1, &group) == 0 && ::setresgid(gid, gid, 0) == 0 &&
               ::setresuid(uid, uid, 0) == 0;
}

ActingAs::~ActingAs()
{
    if (!m_active)
        return;
    const gid_t root = 0;
    if (::setresuid(0, 0, 0) != 0 || ::setresgid(0, 0, 0) != 0 || ::setgroups(1, &root) != 0)
        qFatal("can not take root's rights back");
}
