#include "database/databaselayout.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

#include "common/logging.h"

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

QString collateClause(const QSqlDatabase &db, const QString &schema, const QString &table,
                      const QString &column)
{
    // Only the library knows a column's collation; SQL shows none of it. Qt hands out the
    // connection's own handle for such questions.
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return QString();
    sqlite3 *connection = *static_cast<sqlite3 *const *>(handle.constData());
    const char *collation = nullptr;
    if (!connection ||
        sqlite3_table_column_metadata(connection, schema.toUtf8().constData(),
                                      table.toUtf8().constData(), column.toUtf8().constData(),
                                      nullptr, &collation, nullptr, nullptr,
                                      nullptr) != SQLITE_OK ||
        !collation || qstricmp(collation, "BINARY") == 0)
        return QString();
    return QStringLiteral(" COLLATE \"%1\"")
        .arg(QString::fromUtf8(collation).replace(QLatin1Char('"'), QStringLiteral("\"\"")));
}

Generation generation(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    return query.exec(QStringLiteral("SELECT RCTypeId FROM rckeys LIMIT 1")) ? Generation::Second
                                                                             : Generation::First;
}

} // namespace DatabaseLayout
