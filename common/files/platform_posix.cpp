#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include "common/files/platform.h"

namespace Platform {

namespace {

QString kindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a regular file");
}

thread_local QString lastError;

// Records the reason of a failure for errorString(), and gives the failing value back.
template <typename T> T failed(T result, const QString &why)
{
    lastError = why;
    return result;
}

QString errnoText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

QString errorString()
{
    return lastError;
}

bool syncFile(int descriptor)
{
    return ::fsync(descriptor) == 0 || failed(false, errnoText());
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

bool syncFileSystem(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return failed(false, errnoText());
    const bool synced = ::syncfs(fd) == 0 || failed(false, errnoText());
    ::close(fd);
    return synced;
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

int openRegularForReading(const QString &path, OpenFailure *failure)
{
    auto refused = [&](OpenFailure kind, const QString &text) {
        *failure = kind;
        return failed(-1, text);
    };
    auto missingOrUnreadable = [] {
        return errno == ENOENT || errno == ENOTDIR ? OpenFailure::Absent : OpenFailure::Unreadable;
    };
    const QByteArray name = QFile::encodeName(path);
    // Looking first keeps a device from ever being opened (opening some has effects of its own);
    // the check after the open is the one that counts, since the name may lead elsewhere by then.
    struct stat named;
    if (::stat(name.constData(), &named) != 0)
        return refused(missingOrUnreadable(), errnoText());
    if (!S_ISREG(named.st_mode))
        return refused(OpenFailure::NotRegular, QStringLiteral("is ") + kindOf(named.st_mode));
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return refused(missingOrUnreadable(), errnoText());
    struct stat opened;
    const bool looked = ::fstat(fd, &opened) == 0;
    const QString text = looked ? QStringLiteral("is ") + kindOf(opened.st_mode) : errnoText();
    if (!looked || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return refused(looked ? OpenFailure::NotRegular : OpenFailure::Unreadable, text);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *failure = OpenFailure::None;
    return fd;
}

int lockExclusively(const QString &path, int timeoutMs, bool *busy)
{
    *busy = false;
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0)
        return failed(-1, errnoText());
    QElapsedTimer waited;
    waited.start();
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK || errno == EINTR;
        if (!held || waited.elapsed() >= timeoutMs) {
            *busy = held;
            const QString why = errnoText();
            ::close(fd);
            return failed(-1, why);
        }
        QThread::msleep(50);
    }
    return fd;
}

QString makePrivateFolder(const QString &pathTemplate)
{
    QByteArray name = QFile::encodeName(pathTemplate);
    if (!::mkdtemp(name.data())) // mode 0700
        return failed(QString(), errnoText());
    return QFile::decodeName(name);
}

bool takeOwnerAndMode(const QString &reference, int descriptor)
{
    struct stat old;
    if (::stat(QFile::encodeName(reference).constData(), &old) != 0)
        return failed(false, reference + QStringLiteral(": ") + errnoText());
    // Only root may give a file away; anyone else keeps his own, which is what he could write.
    if (::geteuid() == 0 && ::fchown(descriptor, old.st_uid, old.st_gid) != 0)
        return failed(false, QStringLiteral("owner: ") + errnoText());
    if (::fchmod(descriptor, old.st_mode & 0777) != 0)
        return failed(false, QStringLiteral("mode: ") + errnoText());
    return true;
}

bool takeOwnerAndMode(const QString &reference, const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return failed(false, path + QStringLiteral(": ") + errnoText());
    const bool taken = takeOwnerAndMode(reference, fd);
    ::close(fd);
    return taken;
}

bool takeOwner(const QString &folder, const QString &path)
{
    if (::geteuid() != 0)
        return true;
    struct stat owner;
    if (::stat(QFile::encodeName(folder).constData(), &owner) != 0 ||
        ::lchown(QFile::encodeName(path).constData(), owner.st_uid, owner.st_gid) != 0)
        return failed(false, path + QStringLiteral(": ") + errnoText());
    return true;
}

QStringList lookUpHost(const QByteArray &asciiName)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo *found = nullptr;
    const int code = ::getaddrinfo(asciiName.constData(), nullptr, &hints, &found);
    if (code != 0)
        return failed(QStringList(), QString::fromLocal8Bit(::gai_strerror(code)));
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
