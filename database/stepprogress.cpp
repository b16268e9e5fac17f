#include "database/stepprogress.h"

#include <utility>

StepProgress::StepProgress(int from, int to, Report report)
    : m_partFrom(from), m_partTo(to), m_to(to), m_last(from), m_report(std::move(report))
{}

void StepProgress::part(int until, qint64 units)
{
    // The part before is done; until the first part, the whole range is one.
    if (m_inParts) {
        report(m_partTo);
        m_partFrom = m_partTo;
    }
    m_inParts = true;
    m_partTo = qBound(m_partFrom, until, m_to);
    m_units = units;
    m_done = 0;
}

void StepProgress::advance(qint64 units)
{
    m_done = qMin(m_units, m_done + units);
    const qint64 span = m_partTo - m_partFrom;
    report(m_partFrom + int(m_units > 0 ? span * m_done / m_units : span));
}

void StepProgress::reach(qint64 done, qint64 total)
{
    m_units = total;
    m_done = 0;
    advance(done);
}

void StepProgress::finish()
{
    report(m_to);
}

void StepProgress::report(int value)
{
    if (value <= m_last)
        return;
    m_last = value;
    m_report(value);
}
