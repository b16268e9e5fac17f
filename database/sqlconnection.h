#pragma once

#include <QSqlDatabase>
#include <QString>

#include "common/errorstring.h"

struct sqlite3;

// A named SQLite connection that lives for one scope: added and opened on the calling thread,
// closed and removed again when it goes. Every QSqlQuery on it must be gone by then.
class SqlConnection : public ErrorString
{
public:
    SqlConnection(const QString &connectionName, const QString &fileName);
    ~SqlConnection();
    SqlConnection(const SqlConnection &) = delete;
    SqlConnection &operator=(const SqlConnection &) = delete;

    // Qt's connect options for the driver ("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=100"), set
    // before open().
    void setConnectOptions(const QString &options) { m_database.setConnectOptions(options); }
    // Opens the file and reads its schema, so that a file that is not a database fails here
    // rather than at the first statement.
    bool open();
    // Opens the file without reading anything of it yet.
    bool openOnly();
    void close() { m_database.close(); }
    QSqlDatabase database() const { return m_database; }

    // For a file that is thrown away rather than repaired when a run fails: no sync, no journal.
    static void useAsScratch(const QSqlDatabase &db);
    // The connection's own SQLite handle, for what Qt does not offer (a column's declared
    // collation, binding in bulk); null for a connection that is not open or not SQLite.
    static sqlite3 *handle(const QSqlDatabase &db);

private:
    QString m_name;
    QSqlDatabase m_database;
};
