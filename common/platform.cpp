#include "common/platform.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>

namespace Platform {

bool syncFile(int descriptor)
{
    return ::fsync(descriptor) == 0;
}

void syncFolder(const QString &folder)
{
    const int fd =
        ::open(QFile::encodeName(folder.isEmpty() ? QStringLiteral(".") : folder).constData(),
               O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

int openForAppend(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                  0644);
}

bool writeAll(int descriptor, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(descriptor, data, size_t(size));
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

int duplicateFromStart(int descriptor)
{
    const int fd = ::dup(descriptor);
    if (fd >= 0 && ::lseek(fd, 0, SEEK_SET) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void closeDescriptor(int descriptor)
{
    ::close(descriptor);
}

QStringList lookUpHost(const QByteArray &asciiName, QString *error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo *found = nullptr;
    const int code = ::getaddrinfo(asciiName.constData(), nullptr, &hints, &found);
    if (code != 0) {
        *error = QString::fromLocal8Bit(::gai_strerror(code));
        return {};
    }
    QStringList addresses;
    for (const addrinfo *entry = found; entry; entry = entry->ai_next) {
        char text[NI_MAXHOST];
        if (::getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0,
                          NI_NUMERICHOST) == 0 &&
            !addresses.contains(QLatin1String(text)))
            addresses << QString::fromLatin1(text);
    }
    ::freeaddrinfo(found);
    return addresses;
}

} // namespace Platform
