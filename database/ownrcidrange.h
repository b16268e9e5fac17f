#pragma once

#include <QSqlDatabase>
#include <QString>

// The numbers that the own Rcids span, when each of them is written as a plain integer ("42",
// never "042", " 42" or "4.2e1"). A column of numeric affinity stores such a text as that integer,
// and a text it keeps can not look like one, so every row that `Rcid IN (the own Rcids)` meets
// in it lies in the span: a range test put ahead of the IN spares the lookup for the millions of
// keys outside it. For other Rcids, or a column of another affinity, there is no test.
class OwnRcidRange
{
public:
    // column of table (as a statement names it, "temp.kx_order") holds the own Rcids as bound
    // text, as the IN compares them.
    OwnRcidRange(const QSqlDatabase &db, const QString &table, const QString &column);

    // "Rcid BETWEEN <lowest> AND <highest> AND " for a column of INTEGER or NUMERIC
    // affinity (see DatabaseLayout::affinity), to be put ahead of the IN; empty where no range
    // holds.
    QString ahead(const QString &affinity, const QString &column = QStringLiteral("Rcid")) const;

private:
    bool m_integers = false;
    qint64 m_lowest = 0;
    qint64 m_highest = 0;
};
