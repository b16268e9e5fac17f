#pragma once

#include <functional>

#include <QtGlobal>

// A piece of the database step moving the bar over its range of 1000, part by part: each part of
// its work takes the bar from where the last one ended to a value of its own, in proportion to
// the units of that part done. A value is passed on only when it has grown, so that tens of
// thousands of own models make a few hundred reports, and the same work always the same ones.
class StepProgress
{
public:
    using Report = std::function<void(int current)>;

    // from has been reported already, by whatever came before.
    StepProgress(int from, int to, Report report);
    StepProgress(const StepProgress &) = delete;
    StepProgress &operator=(const StepProgress &) = delete;

    // The next part: units of work that take the bar to until. Without parts, the whole range
    // is one.
    void part(int until, qint64 units);
    void advance(qint64 units = 1);
    // For a part that counts its own work: done of total units.
    void reach(qint64 done, qint64 total);
    // The whole range done.
    void finish();

private:
    void report(int value);

    int m_partFrom;
    int m_partTo;
    int m_to;
    qint64 m_units = 0;
    qint64 m_done = 0;
    int m_last = -1;
    bool m_inParts = false;
    Report m_report;
};
