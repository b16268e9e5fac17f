#include "upload/keyscan.h"

#include <thread>

#include "common/catalogue/tablelayout.h"
#include "upload/sqliterows.h"

namespace KeyScan {

namespace {

// The names SQL gives the row id; a column of the user's own by one of them hides it.
bool namesTheRowid(const QByteArray &column)
{
    const QByteArray lower = column.toLower();
    return lower == "rowid" || lower == "oid" || lower == "_rowid_";
}

} // namespace

void Lines::scan(SqliteRows &rows)
{
    scanned = rows.isPrepared();
    while (scanned && rows.next()) {
        if (!rows.isInteger(1)) {
            integers = false;
            return;
        }
        const qsizetype start = lines.size();
        appendKeyElement(lines, rows, 1);
        elements.push_back({rows.integer(1), rows.integer(0), start, lines.size() - start});
    }
    error = rows.errorString();
}

void Lines::append(Lines &&other)
{
    elements.reserve(elements.size() + other.elements.size());
    for (Element element : other.elements) {
        element.start += lines.size();
        elements.push_back(element);
    }
    lines.append(other.lines);
    if (error.isEmpty())
        error = other.error;
    other = Lines();
}

void appendAttribute(QByteArray &out, const char *name, const SqliteRows &rows, int column)
{
    out.append(' ').append(name).append("=\"");
    if (column < rows.columns())
        rows.appendValue(out, column);
    out.append('"');
}

void appendKeyElement(QByteArray &out, const SqliteRows &rows, int first)
{
    constexpr auto &keyAttributes = TableLayout::keyColumns;
    out.append("  <key");
    for (int i = 0; i < int(std::size(keyAttributes)); ++i)
        appendAttribute(out, keyAttributes[i], rows, first + i);
    out.append("/>\n");
}

bool rowidIsReachable(const QSqlDatabase &db)
{
    SqliteRows columns(db, QStringLiteral("PRAGMA table_info(rckeys)"));
    while (columns.next()) {
        QByteArray name;
        columns.appendValue(name, 1);
        if (namesTheRowid(name))
            return false;
    }
    return columns.isPrepared() && columns.errorString().isEmpty();
}

bool rcidIsNumeric(const QSqlDatabase &db)
{
    SqliteRows columns(db, QStringLiteral("PRAGMA table_info(rckeys)"));
    while (columns.next()) {
        QByteArray name;
        columns.appendValue(name, 1);
        if (name.toLower() != "rcid")
            continue;
        QByteArray type;
        columns.appendValue(type, 2);
        const QString affinity = TableLayout::affinityOf(QString::fromUtf8(type));
        return affinity == QLatin1String("INTEGER") || affinity == QLatin1String("NUMERIC");
    }
    return false;
}

std::optional<Lines> scan(const QSqlDatabase &db, const QString &keyQuery, qint64 splitAbove)
{
    qint64 middle = 0;
    {
        SqliteRows last(db, QStringLiteral("SELECT max(rowid) FROM rckeys"));
        if (!last.isPrepared())
            return std::nullopt; // a table without rowids
        if (last.next() && last.isInteger(0) && last.integer(0) > splitAbove)
            middle = last.integer(0) / 2;
    }
    const QString lowerHalf = QStringLiteral(" AND rckeys.rowid <= %1").arg(middle);
    const QString upperHalf = QStringLiteral(" AND rckeys.rowid > %1").arg(middle);
    Lines lower;
    Lines upper;
    std::thread helper;
    if (middle > 0)
        helper = std::thread([&] {
            const SqliteConnection second(db);
            SqliteRows rows(second.handle(), keyQuery + upperHalf);
            upper.scan(rows);
        });
    {
        SqliteRows rows(db, keyQuery + (middle > 0 ? lowerHalf : QString()));
        lower.scan(rows);
    }
    if (helper.joinable())
        helper.join();
    // A file that a second connection can not read is read twice through the first.
    if (middle > 0 && !upper.scanned && lower.scanned && lower.integers) {
        SqliteRows rows(db, keyQuery + upperHalf);
        upper = Lines();
        upper.scan(rows);
    }
    if (!lower.scanned || !lower.integers || (middle > 0 && (!upper.scanned || !upper.integers)))
        return std::nullopt;
    lower.append(std::move(upper));
    return lower;
}

} // namespace KeyScan
