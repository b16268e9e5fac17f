#pragma once

#include <QDate>
#include <QString>
#include <QVariant>

// Component versions are calendar dates stored as ISO text (yyyy-MM-dd). Anything absent or
// unparseable is the null date, which is earlier than every valid date.
namespace VersionDate {

QDate fromSetting(const QVariant &value);
QString toSetting(const QDate &date);
bool isLater(const QDate &offered, const QDate &installed);

} // namespace VersionDate
