#pragma once

#include <QString>

// The support log: every diagnostic line of a run, with its time, appended to a file in the
// updater's own folder. Each line reaches the file with one write of its own, so a crash loses
// at most the line being written. The file keeps the most recent runs: before a run starts,
// the oldest runs are dropped once the file has grown past its bound.
namespace RunLog {

inline constexpr qint64 defaultBound = 512 * 1024;

// Installs the log as Qt's message handler (lines still reach standard error too) and writes
// the run's first line. Returns false when the file cannot be written; the run goes on.
bool start(const QString &path, const QString &firstLine, qint64 bound = defaultBound);

// Drops whole runs from the front until the file is at most bound / 2 long; the newest run is
// always kept. Replaces the file in one step.
bool trim(const QString &path, qint64 bound);

} // namespace RunLog
