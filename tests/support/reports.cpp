#include "tests/support/reports.h"

#include <QList>

void Reports::progress(int current, int total)
{
    // A new run begins at 0.
    if (current < m_last && current != 0)
        rising = false;
    if (current > total || total != 1000)
        rising = false;
    m_last = current;
    static const QList<int> steps = {0, 100, 200, 300, 700, 800, 900, 1000};
    if (steps.contains(current))
        events << QStringLiteral("progress %1/%2").arg(current).arg(total);
}

void Reports::text(const QString &text)
{
    events << QStringLiteral("text ") + text;
}

void Reports::status(int status)
{
    events << QStringLiteral("status %1").arg(status);
}
