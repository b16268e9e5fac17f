#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>

#include "common/files/platform.h"
#include "common/files/posix_internal.h"

namespace Platform {

using namespace Posix;

Folder::~Folder()
{
    close();
}

Folder::Folder(Folder &&other) noexcept
    : ErrorString(other), m_descriptor(other.m_descriptor), m_path(other.m_path)
{
    other.m_descriptor = -1;
}

Folder &Folder::operator=(Folder &&other) noexcept
{
    if (this != &other) {
        close();
        ErrorString::operator=(other);
        m_descriptor = other.m_descriptor;
        m_path = other.m_path;
        other.m_descriptor = -1;
    }
    return *this;
}

void Folder::close()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
}

bool Folder::validName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..") ||
        name.contains(QLatin1Char('/')))
        return failBecause(QStringLiteral("\"%1\" is not a name in a folder").arg(name));
    return true;
}

bool Folder::open(const QString &path)
{
    close();
    clearError();
    m_path = path;
    m_descriptor = ::open(encoded(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_descriptor >= 0 || failBecause(path + QStringLiteral(": ") + errnoText());
}

bool Folder::openIn(const Folder &parent, const QString &name)
{
    close();
    clearError();
    m_path = parent.path() + QLatin1Char('/') + name;
    if (!validName(name))
        return false;
    m_descriptor = ::openat(parent.descriptor(), encoded(name).constData(),
                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    return m_descriptor >= 0 || failBecause(m_path + QStringLiteral(": ") + errnoText());
}

bool Folder::openSame(const Folder &other)
{
    close();
    clearError();
    m_path = other.path();
    m_descriptor = ::openat(other.descriptor(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return m_descriptor >= 0 || failBecause(m_path + QStringLiteral(": ") + errnoText());
}

QString Folder::pathTo(const QString &name) const
{
    // The folder's own entry in /proc stays with the open folder wherever it is moved.
    static const bool haveProc = ::access("/proc/self/fd", X_OK) == 0;
    if (!haveProc || m_descriptor < 0)
        return m_path + QLatin1Char('/') + name;
    return QStringLiteral("/proc/self/fd/%1/").arg(m_descriptor) + name;
}

QString Folder::canonicalPath() const
{
    return QFileInfo(pathTo(QStringLiteral("."))).canonicalFilePath();
}

FileInfo Folder::info() const
{
    struct stat st;
    if (m_descriptor < 0 || ::fstat(m_descriptor, &st) != 0)
        return FileInfo();
    return infoFrom(st);
}

FileInfo Folder::infoOf(const QString &name) const
{
    struct stat st;
    if (m_descriptor < 0 ||
        ::fstatat(m_descriptor, encoded(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return FileInfo();
    return infoFrom(st);
}

bool Folder::othersMayWrite() const
{
    struct stat st;
    if (m_descriptor < 0 || ::fstat(m_descriptor, &st) != 0)
        return true;
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return true;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0;
}

QStringList Folder::entries() const
{
    QStringList names;
    // A descriptor of its own: reading a folder moves the position of whoever shares it.
    const int fd = ::openat(m_descriptor, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
    if (!dir) {
        if (fd >= 0)
            ::close(fd);
        const_cast<Folder *>(this)->failBecause(m_path + QStringLiteral(": ") + errnoText());
        return names;
    }
    while (const dirent *entry = ::readdir(dir)) {
        const QString name = QFile::decodeName(entry->d_name);
        if (name != QLatin1String(".") && name != QLatin1String(".."))
            names << name;
    }
    ::closedir(dir);
    return names;
}

bool Folder::makeFolder(const QString &name, quint32 permissions)
{
    if (!validName(name))
        return false;
    if (::mkdirat(m_descriptor, encoded(name).constData(), 0700) != 0)
        return failBecause(name + QStringLiteral(": ") + errnoText());
    // The bits exactly, whatever the umask; on the folder just made, never through a link.
    Folder made;
    return (made.openIn(*this, name) && ::fchmod(made.descriptor(), permissions) == 0) ||
           failBecause(name + QStringLiteral(": ") + errnoText());
}

QString Folder::makePrivateFolder(const QString &prefix)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name = withRandomSuffix(prefix);
        if (::mkdirat(m_descriptor, encoded(name).constData(), 0700) == 0)
            return name;
        if (errno != EEXIST)
            break;
    }
    failBecause(QStringLiteral("can not make a folder in %1: %2").arg(m_path, errnoText()));
    return QString();
}

File Folder::createFile(const QString &name, quint32 permissions)
{
    if (!validName(name))
        return File();
    const int fd =
        ::openat(m_descriptor, encoded(name).constData(),
                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode_t(permissions));
    if (fd < 0) {
        failBecause(name + QStringLiteral(": ") + errnoText());
        return File();
    }
    File file(fd);
    if (::fchmod(fd, permissions) != 0) {
        failBecause(name + QStringLiteral(": ") + errnoText());
        return File();
    }
    return file;
}

File Folder::openForReading(const QString &name, bool followLink, OpenFailure *failure)
{
    OpenFailure ignored;
    OpenFailure &kind = failure ? *failure : ignored;
    auto refused = [&](OpenFailure why, const QString &text) {
        kind = why;
        failBecause(text);
        return File();
    };
    auto missingOrUnreadable = [] {
        return errno == ENOENT || errno == ENOTDIR ? OpenFailure::Absent : OpenFailure::Unreadable;
    };
    if (!validName(name))
        return refused(OpenFailure::Unreadable, errorString());
    const QByteArray encodedName = encoded(name);
    // Looking first keeps a device from ever being opened (opening some has effects of its own);
    // the check after the open is the one that counts, since the name may lead elsewhere by then.
    struct stat named;
    if (::fstatat(m_descriptor, encodedName.constData(), &named,
                  followLink ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return refused(missingOrUnreadable(), errnoText());
    if (!S_ISREG(named.st_mode))
        return refused(OpenFailure::NotRegular, QStringLiteral("is ") + kindOf(named.st_mode));
    const int fd =
        ::openat(m_descriptor, encodedName.constData(),
                 O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (followLink ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return refused(errno == ELOOP ? OpenFailure::NotRegular : missingOrUnreadable(),
                       errno == ELOOP ? QStringLiteral("is a link") : errnoText());
    File file(fd);
    struct stat opened;
    if (::fstat(fd, &opened) != 0)
        return refused(OpenFailure::Unreadable, errnoText());
    if (!S_ISREG(opened.st_mode))
        return refused(OpenFailure::NotRegular, QStringLiteral("is ") + kindOf(opened.st_mode));
    blockAgain(fd);
    kind = OpenFailure::None;
    return file;
}

File Folder::openForAppending(const QString &name, quint32 permissions)
{
    if (!validName(name))
        return File();
    const int fd = ::openat(m_descriptor, encoded(name).constData(),
                            O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                            mode_t(permissions));
    if (fd < 0) {
        failBecause(name + QStringLiteral(": ") + errnoText());
        return File();
    }
    File file(fd);
    struct stat st;
    // A second name of somebody else's file (a hard link) would have us append to that file.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        failBecause(name + QStringLiteral(": not a file of its own"));
        return File();
    }
    blockAgain(fd);
    return file;
}

bool Folder::makeLink(const QString &name, const QString &target)
{
    if (!validName(name))
        return false;
    return ::symlinkat(encoded(target).constData(), m_descriptor, encoded(name).constData()) == 0 ||
           failBecause(name + QStringLiteral(": ") + errnoText());
}

bool Folder::rename(const QString &name, const Folder &to, const QString &toName)
{
    if (!validName(name) || !validName(toName))
        return false;
    return ::renameat(m_descriptor, encoded(name).constData(), to.descriptor(),
                      encoded(toName).constData()) == 0 ||
           failBecause(QStringLiteral("%1 -> %2: %3").arg(name, toName, errnoText()));
}

bool Folder::remove(const QString &name)
{
    if (!validName(name))
        return false;
    return ::unlinkat(m_descriptor, encoded(name).constData(), 0) == 0 || errno == ENOENT ||
           failBecause(name + QStringLiteral(": ") + errnoText());
}

bool Folder::removeTree(const QString &name)
{
    if (!validName(name))
        return false;
    // A folder that turns into a link between the look and the opening is removed as a link.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const FileInfo info = infoOf(name);
        if (!info.exists())
            return true;
        if (!info.isFolder())
            return remove(name);
        Folder inner;
        if (!inner.openIn(*this, name))
            continue;
        bool emptied = true;
        const QStringList names = inner.entries();
        for (const QString &entry : names)
            emptied = inner.removeTree(entry) && emptied;
        if (!emptied)
            return failBecause(inner.errorString());
        if (::unlinkat(m_descriptor, encoded(name).constData(), AT_REMOVEDIR) == 0 ||
            errno == ENOENT)
            return true;
        return failBecause(name + QStringLiteral(": ") + errnoText());
    }
    return failBecause(name + QStringLiteral(": changes while it is removed"));
}

bool Folder::removeEmptyFolder(const QString &name)
{
    if (!validName(name))
        return false;
    return ::unlinkat(m_descriptor, encoded(name).constData(), AT_REMOVEDIR) == 0 ||
           failBecause(name + QStringLiteral(": ") + errnoText());
}

bool Folder::takeOwner(const QString &name, const FileInfo &reference)
{
    if (!isRoot())
        return true;
    if (!validName(name))
        return false;
    return ::fchownat(m_descriptor, encoded(name).constData(), reference.owner, reference.group,
                      AT_SYMLINK_NOFOLLOW) == 0 ||
           failBecause(name + QStringLiteral(": owner: ") + errnoText());
}

bool Folder::setPermissions(const QString &name, quint32 permissions)
{
    if (!validName(name))
        return false;
    return ::fchmodat(m_descriptor, encoded(name).constData(), mode_t(permissions),
                      AT_SYMLINK_NOFOLLOW) == 0 ||
           failBecause(name + QStringLiteral(": mode: ") + errnoText());
}

bool Folder::sync()
{
    return ::fsync(m_descriptor) == 0 || failBecause(m_path + QStringLiteral(": ") + errnoText());
}

bool Folder::syncFileSystem()
{
    return ::syncfs(m_descriptor) == 0 || failBecause(m_path + QStringLiteral(": ") + errnoText());
}

bool Folder::tryLock()
{
    return ::flock(m_descriptor, LOCK_EX | LOCK_NB) == 0 || failBecause(errnoText());
}

// ---- the rest

File Folder::lockFile(const QString &name, int timeoutMs, bool *busy)
{
    *busy = false;
    if (!validName(name))
        return File();
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        File lock(::openat(m_descriptor, encoded(name).constData(),
                           O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600));
        if (!lock.isOpen() || !lock.info().isFile()) {
            failBecause(!lock.isOpen() ? errnoText() : name + QStringLiteral(" is not a file"));
            return File();
        }
        while (::flock(lock.descriptor(), LOCK_EX | LOCK_NB) != 0) {
            const bool held = errno == EWOULDBLOCK || errno == EINTR;
            if (!held || waited.elapsed() >= timeoutMs) {
                *busy = held;
                failBecause(errnoText());
                return File();
            }
            QThread::msleep(50);
        }
        // The file locked may have lost its name meanwhile: then it locks nothing.
        if (lock.info().isSameAs(infoOf(name)))
            return lock;
    }
}

bool Folder::isHeldOpen(const QString &name) const
{
    // Open files are not locked here: a rename replaces one whoever has it open.
    Q_UNUSED(name);
    return false;
}

} // namespace Platform
