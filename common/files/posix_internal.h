#pragma once

#include <cerrno>
#include <sys/stat.h>

#include <QByteArray>
#include <QString>

#include "common/files/platform.h"

// What the POSIX side of the platform layer shares between its files.
namespace Platform::Posix {

// The system's words for an error number.
QString errnoText(int code = errno);
// A name as the system takes it.
QByteArray encoded(const QString &name);
// "a FIFO", "a device", …: what a file that is not a regular one is.
QString kindOf(mode_t mode);
FileInfo infoFrom(const struct stat &st);
bool isRoot();
// Opening with O_NONBLOCK never waits for a FIFO's writer; reads of the regular file it
// must be do not need it.
void blockAgain(int fd);

} // namespace Platform::Posix
