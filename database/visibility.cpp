#include "database/visibility.h"

#include <QSqlError>
#include <QSqlQuery>

#include "common/logging.h"
#include "common/rctypes.h"

namespace Visibility {

// The list is statement text, not a bound value: nothing but ASCII digit runs and commas may
// reach it, whatever the setting held.
QString hideStatement(const QString &rcTypeList)
{
    return QStringLiteral("UPDATE rcmodels SET Hidden=1 WHERE Own=0 AND Link NOT IN (SELECT Rcid "
                          "FROM rckeys WHERE RCTypeId IN (") +
           rcTypeListFrom(rcTypeList) + QStringLiteral("))");
}

bool apply(const QSqlDatabase &db, const QString &rcTypeList, QString *error)
{
    QSqlQuery query(db);
    for (const QString &statement :
         {QStringLiteral("UPDATE rcmodels SET Hidden=0"), hideStatement(rcTypeList)}) {
        if (!query.exec(statement)) {
            const QString text = query.lastError().text();
            qCWarning(lcDatabase).noquote() << "Visibility failed:" << text;
            if (error)
                *error = text;
            return false;
        }
    }
    return true;
}

} // namespace Visibility
