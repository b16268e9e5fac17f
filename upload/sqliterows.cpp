#include "upload/sqliterows.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QVariant>

#include <sqlite3.h>

#include "upload/xmltext.h"

namespace {

sqlite3 *handleOf(const QSqlDatabase &db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

} // namespace

SqliteRows::SqliteRows(const QSqlDatabase &db, const QString &statement)
{
    prepare(handleOf(db), statement);
}

SqliteRows::SqliteRows(sqlite3 *connection, const QString &statement)
{
    prepare(connection, statement);
}

void SqliteRows::prepare(sqlite3 *connection, const QString &statement)
{
    const QByteArray text = statement.toUtf8();
    if (connection && sqlite3_prepare_v2(connection, text.constData(), int(text.size()),
                                         &m_statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(m_statement);
        m_statement = nullptr;
    }
}

SqliteRows::~SqliteRows()
{
    sqlite3_finalize(m_statement);
}

SqliteConnection::SqliteConnection(const QSqlDatabase &sameFileAs)
{
    sqlite3 *first = handleOf(sameFileAs);
    const char *file = first ? sqlite3_db_filename(first, "main") : nullptr;
    if (!file || !*file ||
        sqlite3_open_v2(file, &m_handle, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) !=
            SQLITE_OK) {
        sqlite3_close(m_handle);
        m_handle = nullptr;
    }
}

SqliteConnection::~SqliteConnection()
{
    sqlite3_close(m_handle);
}

bool SqliteRows::next()
{
    if (!m_statement || !errorString().isEmpty())
        return false;
    const int result = sqlite3_step(m_statement);
    if (result == SQLITE_ROW)
        return true;
    if (result != SQLITE_DONE)
        failBecause(QString::fromUtf8(sqlite3_errmsg(sqlite3_db_handle(m_statement))));
    return false;
}

int SqliteRows::columns() const
{
    return m_statement ? sqlite3_column_count(m_statement) : 0;
}

int SqliteRows::column(const char *name) const
{
    for (int i = 0; i < columns(); ++i)
        if (qstricmp(sqlite3_column_name(m_statement, i), name) == 0)
            return i;
    return -1;
}

bool SqliteRows::isNull(int column) const
{
    return sqlite3_column_type(m_statement, column) == SQLITE_NULL;
}

bool SqliteRows::isInteger(int column) const
{
    return sqlite3_column_type(m_statement, column) == SQLITE_INTEGER;
}

qint64 SqliteRows::integer(int column) const
{
    return sqlite3_column_int64(m_statement, column);
}

// The driver gives integers as qint64, reals as double, texts as UTF-16 from SQLite, blobs as
// bytes; toString() of each is what the document carries.
void SqliteRows::appendValue(QByteArray &out, int column) const
{
    switch (sqlite3_column_type(m_statement, column)) {
    case SQLITE_NULL:
        return;
    case SQLITE_INTEGER:
        out.append(QByteArray::number(sqlite3_column_int64(m_statement, column)));
        return;
    case SQLITE_FLOAT:
        XmlText::appendEscaped(out,
                               QVariant(sqlite3_column_double(m_statement, column)).toString());
        return;
    case SQLITE_BLOB: {
        const QByteArray bytes(static_cast<const char *>(sqlite3_column_blob(m_statement, column)),
                               sqlite3_column_bytes(m_statement, column));
        XmlText::appendEscaped(out, QVariant(bytes).toString());
        return;
    }
    default: {
        const char *text = reinterpret_cast<const char *>(sqlite3_column_text(m_statement, column));
        const int size = sqlite3_column_bytes(m_statement, column);
        if (XmlText::isPlainAscii(text, size)) {
            XmlText::appendEscapedAscii(out, text, size);
            return;
        }
        const auto *utf16 = static_cast<const QChar *>(sqlite3_column_text16(m_statement, column));
        XmlText::appendEscaped(out,
                               QString(utf16, sqlite3_column_bytes16(m_statement, column) / 2));
        return;
    }
    }
}
