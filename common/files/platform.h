#pragma once

#include <QString>
#include <QStringList>

// The few system calls that neither Qt nor the C++ library offers: putting data and folder entries
// on the disk, appending to the support log from a message handler, handing an open file to
// libzip, opening a file of somebody else's folder safely, the run's lock and private folder,
// and a host lookup that can be left running. They are POSIX calls in platform.cpp, built and
// tested on Linux; a port to another system implements this header in a sibling file (for
// Windows, platform_windows.cpp) and leaves the rest of the program as it is.
//
// As system calls do, a call that fails returns false or -1 and leaves its reason behind: in
// errorString(), which each thread has for itself.
namespace Platform {

// Why the last call of this thread that failed did so.
QString errorString();

// Waits until the open file's data is on the disk.
bool syncFile(int descriptor);
// Waits until the folder's entries (a file renamed into it) are on the disk.
void syncFolder(const QString &folder);
// Waits until everything written to the file system that holds path is on the disk: one call for
// thousands of files, where a sync of each would wait for the disk thousands of times.
bool syncFileSystem(const QString &path);

// Opens a file for appending, creating it; -1 when it can not be.
int openForAppend(const QString &path);
// Writes all of data with as few system calls as possible; no buffering, no locks.
bool writeAll(int descriptor, const char *data, qint64 size);

// A descriptor of its own on the same open file, positioned at its start; -1 on failure.
int duplicateFromStart(int descriptor);
void closeDescriptor(int descriptor);

enum class OpenFailure { None, Absent, Unreadable, NotRegular };
// Opens a file for reading without ever waiting, and keeps it only when what was opened is a
// regular file (a link to one counts): a FIFO, a device, a folder or a socket is refused before
// anything is read from it. The descriptor, or -1 with the kind of failure.
int openRegularForReading(const QString &path, OpenFailure *failure);

// An exclusive advisory lock on the file, made when missing, waiting at most timeoutMs for
// whoever holds it. The descriptor that holds the lock until it is closed, or -1, with busy
// telling a lock held elsewhere all the time from a file that can not be locked.
int lockExclusively(const QString &path, int timeoutMs, bool *busy);

// A new folder from a template whose name ends in XXXXXX, readable, writable and searchable by
// its owner only; its path, or empty on failure.
QString makePrivateFolder(const QString &pathTemplate);

// Gives the open file the permission bits, owner and group of reference; owner and group only
// when the updater runs as root, the one case in which they would otherwise change.
bool takeOwnerAndMode(const QString &reference, int descriptor);
bool takeOwnerAndMode(const QString &reference, const QString &path);
// Gives path (not a link's target) the owner and group of folder, when the updater runs as
// root: what it makes there belongs to whoever the folder belongs to, not to root.
bool takeOwner(const QString &folder, const QString &path);

// The numeric addresses of a host, from the system's resolver. Blocks for as long as the
// resolver takes and touches nothing but its arguments, so it may be left running on a thread
// of its own.
QStringList lookUpHost(const QByteArray &asciiName);

} // namespace Platform
