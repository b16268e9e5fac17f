#include "database/ownrcidrange.h"

#include <QSqlQuery>
#include <QVariant>

OwnRcidRange::OwnRcidRange(const QSqlDatabase &db, const QString &table, const QString &column)
{
    QSqlQuery query(db);
    // A text is a plain integer when it reads back the same after a round trip through one;
    // whatever CAST clamps or trims fails that test.
    const QString statement =
        QStringLiteral("SELECT count(*), count(CASE WHEN typeof(%1) = 'text' AND %1 = "
                       "CAST(CAST(%1 AS INTEGER) AS TEXT) THEN 1 END), min(CAST(%1 AS "
                       "INTEGER)), max(CAST(%1 AS INTEGER)) FROM %2")
            .arg(column, table);
    if (!query.exec(statement) || !query.next())
        return;
    const qint64 rows = query.value(0).toLongLong();
    m_integers = rows > 0 && query.value(1).toLongLong() == rows;
    m_lowest = query.value(2).toLongLong();
    m_highest = query.value(3).toLongLong();
}

QString OwnRcidRange::ahead(const QString &affinity, const QString &column) const
{
    // A REAL column rounds integers past 2^53; those are left to the IN alone.
    const bool numeric =
        affinity == QLatin1String("INTEGER") || affinity == QLatin1String("NUMERIC");
    if (!m_integers || !numeric)
        return QString();
    return QStringLiteral("%1 BETWEEN %2 AND %3 AND ").arg(column).arg(m_lowest).arg(m_highest);
}
