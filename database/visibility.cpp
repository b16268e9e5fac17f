#include "database/visibility.h"

#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

#include "common/logging.h"

namespace Visibility {

namespace {

// The list is statement text, not a bound value: nothing but ASCII digit runs and commas may
// reach it, whatever the setting held.
QString digitsAndCommas(const QString &rcTypeList)
{
    static const QRegularExpression digits(QStringLiteral("[0-9]+"));
    QStringList ids;
    auto it = digits.globalMatch(rcTypeList);
    while (it.hasNext())
        ids << it.next().captured(0);
    return ids.join(QLatin1Char(','));
}

} // namespace

QString hideStatement(const QString &rcTypeList)
{
    return QStringLiteral("UPDATE rcmodels SET Hidden=1 WHERE Own=0 AND Link NOT IN (SELECT Rcid "
                          "FROM rckeys WHERE RCTypeId IN (") +
           digitsAndCommas(rcTypeList) + QStringLiteral("))");
}

bool apply(const QSqlDatabase &db, const QString &rcTypeList, QString *error)
{
    QSqlQuery query(db);
    for (const QString &statement :
         {QStringLiteral("UPDATE rcmodels SET Hidden=0"), hideStatement(rcTypeList)}) {
        if (!query.exec(statement)) {
            const QString text = query.lastError().text();
            qCDebug(lcDatabase).noquote() << "Visibility failed:" << text;
            if (error)
                *error = text;
            return false;
        }
    }
    return true;
}

} // namespace Visibility
