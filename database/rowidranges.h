#pragma once

#include <QSqlDatabase>
#include <QString>

// A table's rows in ranges of rowids, so that one statement over millions of rows runs as a few
// over a part of them each, and the bar moves in between: in the rowid order a single scan takes,
// so that rows come out in the same order. A table without rowids, or a small one, is one range.
class RowidRanges
{
public:
    // table as a statement names it ("main.rckeys").
    RowidRanges(const QSqlDatabase &db, const QString &table, qint64 rowsPerRange = 500000);

    int count() const { return m_count; }
    // The condition that picks range i, for a statement's WHERE: on column (the rowid, or a
    // column holding one, "o.rowid"); "1" when there is one range.
    QString condition(int i, const QString &column) const;

private:
    qint64 m_last = 0;
    qint64 m_size = 0;
    int m_count = 1;
};
