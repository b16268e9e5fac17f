#pragma once

#include <QString>

// Operations report failure as false, with the reason in an optional text for the caller to log
// or show: `return fail(error, QStringLiteral("…"));`.
inline bool fail(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}
