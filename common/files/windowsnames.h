#pragma once

#include <QString>

// The names that Windows treats specially. A package for a Windows installation comes from
// Windows tools, but nothing keeps an entry from being named "nul.txt" or "a.txt:stream": on
// Windows such a name opens a device, writes into an alternate stream of another file, or is
// quietly shortened by the system ("report." becomes "report"), so that what lands is not what
// was checked. Pure text rules, for the Windows build.
namespace WindowsNames {

// Why one component of a path (no separator) can not be a file name on Windows, or empty when
// it can: a device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, CONIN$, CONOUT$) with or
// without an extension, a trailing dot or space, a control character or one of :<>"|?* .
QString problemOf(const QString &component);

} // namespace WindowsNames
