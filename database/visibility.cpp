#include "database/visibility.h"

#include <QSqlError>
#include <QSqlQuery>

#include "common/rctypes.h"
#include "database/databaselayout.h"
#include "database/rowidranges.h"

QString Visibility::typeList(const QString &rcTypeList)
{
    return rcTypeListFrom(rcTypeList);
}

bool Visibility::apply(const QString &rcTypeList)
{
    clearError();
    const QSqlDatabase &db = m_db;
    // The key sets with a listed type, once: each a single time under BINARY, so that no value
    // that the comparison below could tell apart is lost, in a column of rckeys.Rcid's own type
    // and collation, so that NOT IN compares exactly as against rckeys itself (a NULL Rcid
    // included, which leaves unmatched Links undecided and so visible).
    const QString affinity = DatabaseLayout::affinity(
        db, QStringLiteral("main"), QStringLiteral("rckeys"), QStringLiteral("Rcid"));
    const QString collate = DatabaseLayout::collateClause(
        db, QStringLiteral("main"), QStringLiteral("rckeys"), QStringLiteral("Rcid"));
    const QString hidden = QStringLiteral(
        "(CASE WHEN Own=0 AND Link NOT IN (SELECT Rcid FROM temp.kx_visible) THEN 1 ELSE 0 END)");
    // A key set found in two ranges is in the table twice, which NOT IN does not mind.
    const RowidRanges keys(db, QStringLiteral("main.rckeys"));
    QStringList statements = {
        QStringLiteral("DROP TABLE IF EXISTS temp.kx_visible"),
        QStringLiteral("CREATE TEMP TABLE kx_visible(Rcid %1%2)").arg(affinity, collate),
    };
    for (int i = 0; i < keys.count(); ++i)
        statements << QStringLiteral("INSERT INTO temp.kx_visible SELECT DISTINCT Rcid COLLATE "
                                     "BINARY FROM main.rckeys WHERE (%1) AND RCTypeId IN (")
                              .arg(keys.condition(i, QStringLiteral("rowid"))) +
                          typeList(rcTypeList) + QStringLiteral(")");
    // Only what changes is written.
    statements
        << QStringLiteral("UPDATE main.rcmodels SET Hidden=%1 WHERE Hidden IS NOT %1").arg(hidden)
        << QStringLiteral("DROP TABLE temp.kx_visible");
    QSqlQuery query(db);
    for (qsizetype i = 0; i < statements.size(); ++i) {
        if (!query.exec(statements.at(i))) {
            failBecause(query.lastError().text());
            QSqlQuery(db).exec(QStringLiteral("DROP TABLE IF EXISTS temp.kx_visible"));
            return false;
        }
        if (m_progress)
            m_progress(i + 1, statements.size());
    }
    return true;
}
