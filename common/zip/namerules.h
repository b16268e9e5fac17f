#pragma once

#include <limits.h>

#include <QString>

#include "common/zip/zipcheck.h"

// What the target's file system takes as names: how long a name and a path may be, when two names
// are one, what a link on disk leads to, and on Windows the entries that it would take for
// something else.
namespace Zip::NameRules {

#ifdef Q_OS_WIN
// NTFS takes 255 UTF-16 units in a name, and the long form of a path (\\?\C:\...), which the
// updater uses throughout, some 32767 in all; the manifest asks Windows to take paths longer than
// MAX_PATH elsewhere too.
inline constexpr qsizetype longestName = 255;
inline constexpr qsizetype longestPath = 32767 - 8;
#else
inline constexpr qsizetype longestName = NAME_MAX;
inline constexpr qsizetype longestPath = PATH_MAX - 1;
#endif

// A name's length as the file system counts it: UTF-16 units on Windows, bytes elsewhere.
qsizetype lengthOf(const QString &name);
// The key under which a name is the same name on the target's file system: Windows finds A.txt
// where a.txt is.
QString sameNameKey(const QString &name);
// The raw target of a link on disk, empty when the path is not a link.
QString linkOnDisk(const QString &path);
#ifdef Q_OS_WIN
// Names that Windows would take for something else (a device, a stream of another file, a name
// it shortens), and links, which Windows makes only for those allowed to: why the entry is
// refused before anything of the package is written, or empty.
QString refusedOnWindows(const Entry &entry);
#endif

} // namespace Zip::NameRules
