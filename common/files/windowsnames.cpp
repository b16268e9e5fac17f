#include "common/files/windowsnames.h"

#include <QRegularExpression>

namespace WindowsNames {

QString problemOf(const QString &component)
{
    if (component.isEmpty())
        return QStringLiteral("is empty");
    for (const QChar c : component) {
        if (c.unicode() < 0x20)
            return QStringLiteral("holds a control character");
        if (QStringLiteral(":<>\"|?*\\/").contains(c))
            return QStringLiteral("holds the character \"%1\"").arg(c);
    }
    if (component.endsWith(QLatin1Char('.')) || component.endsWith(QLatin1Char(' ')))
        return QStringLiteral("ends with a dot or a space");
    // The device is named by what comes before the first dot, spaces before it ignored; the
    // digits include the superscripts that Windows takes as well.
    static const QRegularExpression device(
        QStringLiteral("^(CON|PRN|AUX|NUL|CONIN\\$|CONOUT\\$|COM[1-9\\x{B9}\\x{B2}\\x{B3}]|"
                       "LPT[1-9\\x{B9}\\x{B2}\\x{B3}]) *(\\..*)?$"),
        QRegularExpression::CaseInsensitiveOption);
    if (device.match(component).hasMatch())
        return QStringLiteral("is the name of a device");
    return QString();
}

} // namespace WindowsNames
