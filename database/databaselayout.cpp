#include "database/databaselayout.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

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
        qCDebug(lcDatabase).noquote() << "Can not add Prot:" << query.lastError().text();
}

Generation generation(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    return query.exec(QStringLiteral("SELECT RCTypeId FROM rckeys LIMIT 1")) ? Generation::Second
                                                                             : Generation::First;
}

} // namespace DatabaseLayout
