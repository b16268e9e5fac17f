#include "database/rowidranges.h"

#include <QSqlQuery>
#include <QVariant>

RowidRanges::RowidRanges(const QSqlDatabase &db, const QString &table, qint64 rowsPerRange)
{
    QSqlQuery query(db);
    // A table without rowids fails here, and is read whole. Each end in a query of its own:
    // SQLite finds a lone min() or max() of the rowid at the end of the tree, but both in one
    // query read every row.
    if (!query.exec(QStringLiteral("SELECT (SELECT min(rowid) FROM %1), (SELECT max(rowid) FROM "
                                   "%1)")
                        .arg(table)) ||
        !query.next() || query.value(1).isNull())
        return;
    const qint64 first = query.value(0).toLongLong();
    m_last = query.value(1).toLongLong();
    // Rowids are dense in the files the maker ships; where they are not, ranges are only less even.
    const qint64 rows = m_last - first + 1;
    if (first < 1 || rows <= rowsPerRange)
        return;
    m_count = int(qMin<qint64>(64, (rows + rowsPerRange - 1) / rowsPerRange));
    m_size = (m_last + m_count - 1) / m_count;
}

QString RowidRanges::condition(int i, const QString &column) const
{
    if (m_count == 1)
        return QStringLiteral("1");
    const qint64 low = i * m_size + 1;
    const qint64 high = i == m_count - 1 ? m_last : (i + 1) * m_size;
    return QStringLiteral("%1 BETWEEN %2 AND %3").arg(column).arg(low).arg(high);
}
