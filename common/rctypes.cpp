#include "common/rctypes.h"

#include <QRegularExpression>
#include <QStringList>

QString rcTypeListFrom(const QString &setting)
{
    static const QRegularExpression digits(QStringLiteral("(\\d+)"));
    QStringList ids;
    auto it = digits.globalMatch(setting);
    while (it.hasNext())
        ids << it.next().captured(1);
    return ids.join(QLatin1Char(','));
}
