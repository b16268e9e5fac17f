#include "database/currentdatabase.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QUrl>
#include <QVariant>

#include "common/files/filereplace.h"
#include "common/logging.h"

namespace {

const QStringList journalSuffixes = {QStringLiteral("-journal"), QStringLiteral("-wal"),
                                     QStringLiteral("-shm")};

// SQLITE_BUSY and SQLITE_LOCKED: somebody else has the file; anything else is the file's own fault.
bool isBusy(const QSqlError &error)
{
    return error.nativeErrorCode() == QLatin1String("5") ||
           error.nativeErrorCode() == QLatin1String("6");
}

} // namespace

CurrentDatabase::CurrentDatabase(const QString &path)
    : m_path(path), m_connection(QStringLiteral("curDB"), QString())
{}

// A journal that SQLite will roll back starts with its magic number; a persisted one is zeroed.
bool CurrentDatabase::hasHotJournal()
{
    Platform::File journal = m_folder.openForReading(m_name + QStringLiteral("-journal"), false);
    char magic[8];
    return journal.isOpen() && journal.readAt(0, magic, sizeof magic) == sizeof magic &&
           QByteArray(magic, sizeof magic) == QByteArray::fromHex("d9d505f920a163d7");
}

CurrentDatabase::~CurrentDatabase()
{
    // A file that stays keeps its journal mode: the WAL comes back, empty, as it was left.
    if (m_held && !m_replaced && m_leftWal) {
        QSqlQuery query(m_connection.database());
        if (!query.exec(QStringLiteral("PRAGMA journal_mode=WAL")))
            qCWarning(lcDatabase).noquote()
                << "Can not put" << m_path << "back into WAL mode:" << query.lastError().text();
    }
}

bool CurrentDatabase::open()
{
    clearError();
    m_folderUnsafe = false;
    const QString file = QFileInfo(m_path).canonicalFilePath();
    if (file.isEmpty())
        return failBecause(QStringLiteral("%1 is not there").arg(m_path));
    const QFileInfo real(file);
    m_name = real.fileName();
    if (!m_folder.open(real.absolutePath()))
        return failBecause(m_folder.errorString());
    // Run as root, a folder that others can write lets them put their file in the user's place.
    if (Platform::isPrivileged() && m_folder.othersMayWrite()) {
        m_folderUnsafe = true;
        return failBecause(QStringLiteral("the folder %1 of %2 can be written by other accounts")
                               .arg(real.absolutePath(), m_path));
    }
    m_descriptor = m_folder.openForReading(m_name, false);
    if (!m_descriptor.isOpen())
        return failBecause(QStringLiteral("%1 %2").arg(m_path, m_folder.errorString()));
    m_info = m_descriptor.info();
    return true;
}

bool CurrentDatabase::acquire()
{
    // Windows locks open files: a program that still has the file open would keep the new
    // release from taking its place, once all the work is done. Found now, nothing has changed.
    if (m_folder.isHeldOpen(m_name))
        return failBecause(QStringLiteral("%1 is open in another program: Kestrelix must be "
                                          "closed during an update")
                               .arg(m_path));
    // mode=rw: a file that vanishes meanwhile is an error, never a new empty database. SQLite
    // reaches the file through the folder held, and it must be the file opened.
    QSqlDatabase db = m_connection.database();
    db.setDatabaseName(QUrl::fromLocalFile(m_folder.pathTo(m_name)).toString(QUrl::FullyEncoded) +
                       QStringLiteral("?mode=rw"));
    m_connection.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=100"));
    if (!m_connection.openOnly())
        return failBecause(m_connection.errorString());
    if (!m_folder.infoOf(m_name).isSameAs(m_info))
        return failBecause(QStringLiteral("%1 was replaced while it was opened").arg(m_path));
    const bool hotJournal = hasHotJournal();
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        bool busy = false;
        if (takeOnce(&busy))
            break;
        if (!busy)
            return false;
        if (waited.elapsed() >= m_waitMs)
            return failBecause(
                QStringLiteral("another program keeps %1 open: %2").arg(m_path, errorString()));
        QThread::msleep(50);
    }
    m_held = true;
    // Its size and time now, with the WAL checkpointed into it: what the backup reads.
    m_info = m_descriptor.info();
    if (hotJournal)
        qCDebug(lcDatabase).noquote() << "Rolled back an interrupted transaction of" << m_path;
    if (m_leftWal)
        qCDebug(lcDatabase).noquote() << "Checkpointed the WAL of" << m_path << "into the file";
    return true;
}

// One attempt at the whole sequence; busy tells whether waiting may help.
bool CurrentDatabase::takeOnce(bool *busy)
{
    QSqlQuery query(m_connection.database());
    auto run = [&](const QString &statement) {
        if (query.exec(statement))
            return true;
        *busy = isBusy(query.lastError());
        return failBecause(query.lastError().text());
    };
    auto value = [&] { return query.next() ? query.value(0).toString().toLower() : QString(); };

    if (!run(QStringLiteral("PRAGMA journal_mode")))
        return false;
    if (value() == QLatin1String("wal")) {
        // Leaving WAL mode checkpoints the whole WAL into the file and needs every other
        // connection gone; while one reads, SQLite says busy, or keeps the mode.
        if (!run(QStringLiteral("PRAGMA journal_mode=DELETE")))
            return false;
        if (value() != QLatin1String("delete")) {
            *busy = true;
            return failBecause(QStringLiteral("the WAL is in use"));
        }
        m_leftWal = true;
    }
    query.finish();
    // The exclusive lock, once taken, is kept until the connection closes. Taking it rolls a hot
    // journal back before anything else reads the file; ending the empty transaction with a
    // rollback writes nothing, not even the header of an empty file.
    if (!run(QStringLiteral("PRAGMA locking_mode=EXCLUSIVE")) ||
        !run(QStringLiteral("BEGIN EXCLUSIVE")) || !run(QStringLiteral("ROLLBACK")))
        return false;
    // Nobody could have put the file back into WAL mode in between, but a file that is not a
    // database shows here.
    if (!run(QStringLiteral("PRAGMA journal_mode")))
        return false;
    if (value() == QLatin1String("wal")) {
        *busy = true;
        return failBecause(QStringLiteral("the file went back into WAL mode"));
    }
    query.finish();
    return run(QStringLiteral("SELECT count(*) FROM sqlite_master"));
}

bool CurrentDatabase::replaceWith(Platform::Folder &work, const QString &release)
{
    clearError();
    // Its journal is kept from now on (PERSIST), so closing the connection after the rename
    // deletes nothing by name: by then the name belongs to the new file.
    {
        QSqlQuery query(m_connection.database());
        query.exec(QStringLiteral("PRAGMA journal_mode=PERSIST"));
    }
#ifdef Q_OS_WIN
    // Windows renames over a file only while nobody has it open, and SQLite opens it without
    // FILE_SHARE_DELETE: here the hold ends a moment before the rename rather than just after
    // it. A program that opens the file in between makes the rename fail; the file stays.
    m_connection.close();
    m_descriptor.close();
#endif
    for (const QString &suffix : journalSuffixes)
        m_folder.remove(m_name + suffix);
    FileReplace replace;
    if (!replace.moveOver(work, release, m_folder, m_name, m_info)) {
        m_renameFailed = replace.renameFailed();
        failBecause(replace.errorString());
#ifdef Q_OS_WIN
        if (m_folder.isHeldOpen(m_name))
            failBecause(errorString() +
                        QStringLiteral(": Kestrelix must be closed during an update"));
        // Open again, so that leaving puts the journal mode back as on any other failure.
        m_connection.openOnly();
#endif
        QSqlQuery query(m_connection.database());
        query.exec(QStringLiteral("PRAGMA journal_mode=DELETE"));
        return false;
    }
    m_replaced = true;
    // The hold ends with the connection; the descriptor of the old file goes after it.
    m_connection.close();
    m_descriptor.close();
    return true;
}
