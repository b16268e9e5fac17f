#include "common/versiondate.h"

namespace VersionDate {

QDate fromSetting(const QVariant &value)
{
    if (value.typeId() == QMetaType::QDate)
        return value.toDate();
    if (value.typeId() != QMetaType::QString)
        return {};
    const QDate date = QDate::fromString(value.toString(), Qt::ISODate);
    return date.isValid() ? date : QDate();
}

QString toSetting(const QDate &date)
{
    // A null date writes an empty value, not "".
    return date.isValid() ? date.toString(Qt::ISODate) : QStringLiteral("");
}

bool isLater(const QDate &offered, const QDate &installed)
{
    if (!offered.isValid())
        return false;
    if (!installed.isValid())
        return true;
    return offered > installed;
}

} // namespace VersionDate
