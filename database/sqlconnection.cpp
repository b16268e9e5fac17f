#include "database/sqlconnection.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

SqlConnection::SqlConnection(const QString &connectionName, const QString &fileName)
    : m_name(connectionName),
      m_database(QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName))
{
    m_database.setDatabaseName(fileName);
}

SqlConnection::~SqlConnection()
{
    m_database.close();
    m_database = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_name);
}

bool SqlConnection::openOnly()
{
    if (m_database.open())
        return true;
    return failBecause(m_database.lastError().text());
}

bool SqlConnection::open()
{
    if (!openOnly())
        return false;
    QSqlQuery probe(m_database);
    return probe.exec(QStringLiteral("SELECT count(*) FROM sqlite_master")) ||
           failBecause(probe.lastError().text());
}

// The new file is scratch until the copy of it, flushed to disk, takes the place of ../rc.db;
// after a crash or a failure it is unpacked again. Waiting for the disk on every commit, or
// journalling pages for a rollback, gains nothing.
void SqlConnection::useAsScratch(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    query.exec(QStringLiteral("PRAGMA main.synchronous=OFF"));
    query.exec(QStringLiteral("PRAGMA main.journal_mode=OFF"));
}

sqlite3 *SqlConnection::handle(const QSqlDatabase &db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}
