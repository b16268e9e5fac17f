#pragma once

#include <QByteArray>
#include <QString>

#include "common/errorstring.h"

class QSqlDatabase;
struct sqlite3;
struct sqlite3_stmt;

// A statement run on SQLite's own handle of a Qt connection, for the upload's hundreds of
// thousands of rows: each value goes into the document as Qt's SQLite driver and
// QVariant::toString would give it, the common kinds (integers, NULL, plain ASCII texts) without
// a QVariant or a QString on the way.
class SqliteRows : public ErrorString
{
public:
    SqliteRows(const QSqlDatabase &db, const QString &statement);
    // The same on a connection of SQLite's own (see SqliteConnection).
    SqliteRows(sqlite3 *connection, const QString &statement);
    ~SqliteRows();
    SqliteRows(const SqliteRows &) = delete;
    SqliteRows &operator=(const SqliteRows &) = delete;

    // False when the statement could not be prepared (a column that the table lacks).
    bool isPrepared() const { return m_statement != nullptr; }
    // False at the end and when stepping failed; errorString() tells the two apart.
    bool next();

    int columns() const;
    // The position of the column of that name, compared without regard to case as SQL does; -1
    // when there is none.
    int column(const char *name) const;
    bool isNull(int column) const;
    bool isInteger(int column) const;
    qint64 integer(int column) const;
    // The value's text, escaped for an attribute (see XmlText).
    void appendValue(QByteArray &out, int column) const;

private:
    void prepare(sqlite3 *connection, const QString &statement);

    sqlite3_stmt *m_statement = nullptr;
};

// A second connection to the file of a Qt connection, opened by SQLite itself so that another
// thread may read through it while the first reads too.
class SqliteConnection
{
public:
    explicit SqliteConnection(const QSqlDatabase &sameFileAs);
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection &) = delete;
    SqliteConnection &operator=(const SqliteConnection &) = delete;

    sqlite3 *handle() const { return m_handle; }

private:
    sqlite3 *m_handle = nullptr;
};
