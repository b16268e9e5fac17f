#pragma once

#include <QString>
#include <QStringList>

// The few system calls that neither Qt nor the C++ library offers: putting data and folder entries
// on the disk, appending to the support log from a message handler, handing an open file to
// libzip, and a host lookup that can be left running. A port to another system changes this file.
namespace Platform {

// Waits until the open file's data is on the disk.
bool syncFile(int descriptor);
// Waits until the folder's entries (a file renamed into it) are on the disk.
void syncFolder(const QString &folder);

// Opens a file for appending, creating it; -1 when it can not be.
int openForAppend(const QString &path);
// Writes all of data with as few system calls as possible; no buffering, no locks.
bool writeAll(int descriptor, const char *data, qint64 size);

// A descriptor of its own on the same open file, positioned at its start; -1 on failure.
int duplicateFromStart(int descriptor);
void closeDescriptor(int descriptor);

// The numeric addresses of a host, from the system's resolver. Blocks for as long as the
// resolver takes and touches nothing but its arguments, so it may be left running on a thread
// of its own.
QStringList lookUpHost(const QByteArray &asciiName, QString *error);

} // namespace Platform
