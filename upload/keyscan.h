#pragma once

#include <optional>
#include <vector>

#include <QByteArray>
#include <QString>

class QSqlDatabase;
class SqliteRows;

// One scan of the key table into "key" elements of the upload's document, each remembered with
// the key set and the row it came from, so that the document can put them in the models' order
// afterwards without asking SQLite for a join.
namespace KeyScan {

struct Element
{
    qint64 group; // the key's Rcid
    qint64 key;   // the key's rowid
    qsizetype start;
    qsizetype size;
};

// The key lines of a scan, and where each key's element lies in them.
struct Lines
{
    QByteArray lines;
    std::vector<Element> elements;
    QString error;
    // False as soon as a Rcid is not an integer: only the join compares those as SQLite does.
    bool integers = true;
    bool scanned = false;

    // Rows of a key query (rowid first, then the key columns), in elements of their own.
    void scan(SqliteRows &rows);
    void append(Lines &&other);
};

// ` name="value"` of the row's column, or an empty value where the table has no such column.
void appendAttribute(QByteArray &out, const char *name, const SqliteRows &rows, int column);
// One "  <key .../>" line from the key columns starting at `first`.
void appendKeyElement(QByteArray &out, const SqliteRows &rows, int first);

// False when a column of the user's own takes one of the names SQL gives the row id, or the
// table's columns can not be read: the rows are then not told apart by rowid.
bool rowidIsReachable(const QSqlDatabase &db);
// Whether rckeys.Rcid has INTEGER or NUMERIC affinity: compared with integers, every value that
// can equal one of them then lies, as a number, between the lowest and the highest.
bool rcidIsNumeric(const QSqlDatabase &db);

// Rows of keyQuery; more than splitAbove keys in two halves by rowid, on both cores. Nothing
// when the table has no rowids or holds a Rcid that is not an integer.
std::optional<Lines> scan(const QSqlDatabase &db, const QString &keyQuery, qint64 splitAbove);

} // namespace KeyScan
