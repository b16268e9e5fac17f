#include "common/platform.h"

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

bool syncFileSystem(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::syncfs(fd) == 0;
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

QString errorText()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

} // namespace

int openRegularForReading(const QString &path, OpenFailure *failure, QString *why)
{
    auto failed = [&](OpenFailure kind, const QString &text) {
        *failure = kind;
        *why = text;
        return -1;
    };
    auto missingOrUnreadable = [] {
        return errno == ENOENT || errno == ENOTDIR ? OpenFailure::Absent : OpenFailure::Unreadable;
    };
    const QByteArray name = QFile::encodeName(path);
    // Looking first keeps a device from ever being opened (opening some has effects of its own);
    // the check after the open is the one that counts, since the name may lead elsewhere by then.
    struct stat named;
    if (::stat(name.constData(), &named) != 0)
        return failed(missingOrUnreadable(), errorText());
    if (!S_ISREG(named.st_mode))
        return failed(OpenFailure::NotRegular, QStringLiteral("is ") + kindOf(named.st_mode));
    const int fd = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return failed(missingOrUnreadable(), errorText());
    struct stat opened;
    const bool looked = ::fstat(fd, &opened) == 0;
    const QString text = looked ? QStringLiteral("is ") + kindOf(opened.st_mode) : errorText();
    if (!looked || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return failed(looked ? OpenFailure::NotRegular : OpenFailure::Unreadable, text);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *failure = OpenFailure::None;
    return fd;
}

int lockExclusively(const QString &path, int timeoutMs, bool *busy, QString *why)
{
    *busy = false;
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    if (fd < 0) {
        *why = errorText();
        return -1;
    }
    QElapsedTimer waited;
    waited.start();
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK || errno == EINTR;
        if (!held || waited.elapsed() >= timeoutMs) {
            *busy = held;
            *why = errorText();
            ::close(fd);
            return -1;
        }
        QThread::msleep(50);
    }
    return fd;
}

QString makePrivateFolder(const QString &pathTemplate)
{
    QByteArray name = QFile::encodeName(pathTemplate);
    if (!::mkdtemp(name.data())) // mode 0700
        return QString();
    return QFile::decodeName(name);
}

bool takeOwnerAndMode(const QString &reference, int descriptor, QString *error)
{
    struct stat old;
    if (::stat(QFile::encodeName(reference).constData(), &old) != 0) {
        *error = reference + QStringLiteral(": ") + errorText();
        return false;
    }
    // Only root may give a file away; anyone else keeps his own, which is what he could write.
    if (::geteuid() == 0 && ::fchown(descriptor, old.st_uid, old.st_gid) != 0) {
        *error = QStringLiteral("owner: ") + errorText();
        return false;
    }
    if (::fchmod(descriptor, old.st_mode & 0777) != 0) {
        *error = QStringLiteral("mode: ") + errorText();
        return false;
    }
    return true;
}

bool takeOwnerAndMode(const QString &reference, const QString &path, QString *error)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *error = path + QStringLiteral(": ") + errorText();
        return false;
    }
    const bool taken = takeOwnerAndMode(reference, fd, error);
    ::close(fd);
    return taken;
}

bool takeOwner(const QString &folder, const QString &path)
{
    if (::geteuid() != 0)
        return true;
    struct stat owner;
    return ::stat(QFile::encodeName(folder).constData(), &owner) == 0 &&
           ::lchown(QFile::encodeName(path).constData(), owner.st_uid, owner.st_gid) == 0;
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
