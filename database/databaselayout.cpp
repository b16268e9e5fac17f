#include "database/databaselayout.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

#include "common/logging.h"
#include "database/sqlconnection.h"

namespace DatabaseLayout {

bool hasProtColumn(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.exec(QStringLiteral("PRAGMA table_info(rcmodels)"));
    while (query.next()) {
        if (query.value(1).toString() == QLatin1String("Prot"))
            return true;
    }
    return false;
}

void addProtColumn(const QSqlDatabase &db)
{
    if (hasProtColumn(db))
        return;
    QSqlQuery query(db);
    if (!query.exec(
            QStringLiteral("ALTER TABLE rcmodels ADD COLUMN Prot INTEGER  NOT NULL  DEFAULT (0)")))
        qCWarning(lcDatabase).noquote() << "Can not add Prot:" << query.lastError().text();
}

namespace {

// Only the library knows a column's declared type and collation; SQL shows neither. Qt hands
// out the connection's own handle for such questions.
bool columnMetadata(const QSqlDatabase &db, const QString &schema, const QString &table,
                    const QString &column, const char **type, const char **collation)
{
    sqlite3 *connection = SqlConnection::handle(db);
    return connection &&
           sqlite3_table_column_metadata(connection, schema.toUtf8().constData(),
                                         table.toUtf8().constData(), column.toUtf8().constData(),
                                         type, collation, nullptr, nullptr, nullptr) == SQLITE_OK;
}

} // namespace

QString collateClause(const QSqlDatabase &db, const QString &schema, const QString &table,
                      const QString &column)
{
    const char *collation = nullptr;
    if (!columnMetadata(db, schema, table, column, nullptr, &collation) || !collation ||
        qstricmp(collation, "BINARY") == 0)
        return QString();
    return QStringLiteral(" COLLATE \"%1\"")
        .arg(QString::fromUtf8(collation).replace(QLatin1Char('"'), QStringLiteral("\"\"")));
}

QString affinity(const QSqlDatabase &db, const QString &schema, const QString &table,
                 const QString &column)
{
    const char *declared = nullptr;
    if (!columnMetadata(db, schema, table, column, &declared, nullptr))
        return QString();
    return TableLayout::affinityOf(QString::fromUtf8(declared ? declared : ""));
}

Generation generation(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    return query.exec(QStringLiteral("SELECT RCTypeId FROM rckeys LIMIT 1")) ? Generation::Second
                                                                             : Generation::First;
}

} // namespace DatabaseLayout
