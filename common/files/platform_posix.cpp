#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <QFile>

#include "common/files/platform.h"
#include "common/files/posix_internal.h"

namespace Platform {

namespace Posix {

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

QByteArray encoded(const QString &name)
{
    return QFile::encodeName(name);
}

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
    if (S_ISLNK(mode))
        return QStringLiteral("a link");
    return QStringLiteral("not a regular file");
}

FileInfo infoFrom(const struct stat &st)
{
    FileInfo info;
    info.kind = S_ISREG(st.st_mode)   ? FileInfo::Kind::File
                : S_ISDIR(st.st_mode) ? FileInfo::Kind::Folder
                : S_ISLNK(st.st_mode) ? FileInfo::Kind::Link
                                      : FileInfo::Kind::Other;
    info.permissions = st.st_mode & 0777;
    info.owner = st.st_uid;
    info.group = st.st_gid;
    info.size = st.st_size;
    info.modified = QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec);
    info.device = st.st_dev;
    info.inode = st.st_ino;
    return info;
}

bool isRoot()
{
    return ::geteuid() == 0;
}

void blockAgain(int fd)
{
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

} // namespace Posix

using namespace Posix;

// ---- File

void File::close()
{
    if (m_descriptor >= 0)
        ::close(m_descriptor);
    m_descriptor = -1;
}

FileInfo File::info() const
{
    struct stat st;
    if (m_descriptor < 0 || ::fstat(m_descriptor, &st) != 0)
        return FileInfo();
    return infoFrom(st);
}

bool File::sync()
{
    return ::fsync(m_descriptor) == 0 || failBecause(errnoText());
}

bool File::write(const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(m_descriptor, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failBecause(n < 0 ? errnoText() : QStringLiteral("nothing written"));
        data += n;
        size -= n;
    }
    return true;
}

qint64 File::readAt(qint64 offset, char *data, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const ssize_t n = ::pread(m_descriptor, data + done, size_t(size - done), offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            failBecause(errnoText());
            return -1;
        }
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

bool File::writeAt(qint64 offset, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::pwrite(m_descriptor, data, size_t(size), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return failBecause(n < 0 ? errnoText() : QStringLiteral("nothing written"));
        data += n;
        size -= n;
        offset += n;
    }
    return true;
}

bool File::takeOwnerAndMode(const FileInfo &reference)
{
    // Only root may give a file away; anyone else keeps his own, which is what he could write.
    if (isRoot() && ::fchown(m_descriptor, reference.owner, reference.group) != 0)
        return failBecause(QStringLiteral("owner: ") + errnoText());
    if (::fchmod(m_descriptor, reference.permissions) != 0)
        return failBecause(QStringLiteral("mode: ") + errnoText());
    return true;
}

int File::duplicateFromStart()
{
    const int fd = ::fcntl(m_descriptor, F_DUPFD_CLOEXEC, 0);
    if (fd >= 0 && ::lseek(fd, 0, SEEK_SET) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool isPrivileged()
{
    return isRoot();
}

Identity actAsOwnerOf(const Folder &folder)
{
    Identity identity;
    const FileInfo info = folder.info();
    if (!isRoot() || !info.exists() || info.owner == 0)
        return identity;
    const uid_t uid = info.owner;
    gid_t gid = info.group;
    std::vector<gid_t> groups;
    identity.account = QString::number(uid);
    // The account's own groups when the system knows it, else only the folder's group.
    std::vector<char> buffer(16384);
    passwd entry;
    passwd *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) {
        identity.account = QString::fromLocal8Bit(found->pw_name);
        gid = found->pw_gid;
        int count = 64;
        groups.resize(size_t(count));
        if (::getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) {
            groups.resize(size_t(count));
            ::getgrouplist(found->pw_name, gid, groups.data(), &count);
        }
        groups.resize(size_t(count));
    } else {
        groups.push_back(gid);
    }
    identity.changed = true;
    auto failed = [&](const char *step) {
        identity.failed = true;
        identity.errorString = QLatin1String(step) + QStringLiteral(": ") + errnoText();
        return identity;
    };
    // Groups first, then the group, then the user: after the user, nothing else may be changed.
    if (::setgroups(groups.size(), groups.data()) != 0)
        return failed("setgroups");
    if (::setresgid(gid, gid, gid) != 0)
        return failed("setresgid");
    if (::setresuid(uid, uid, uid) != 0)
        return failed("setresuid");
    uid_t ruid, euid, suid;
    gid_t rgid, egid, sgid;
    if (::getresuid(&ruid, &euid, &suid) != 0 || ruid != uid || euid != uid || suid != uid ||
        ::getresgid(&rgid, &egid, &sgid) != 0 || rgid != gid || egid != gid || sgid != gid)
        return failed("the rights did not change");
    if (::setuid(0) == 0)
        return failed("root's rights came back");
    return identity;
}

HostAddresses lookUpHost(const QByteArray &asciiName)
{
    HostAddresses result;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo *found = nullptr;
    const int code = ::getaddrinfo(asciiName.constData(), nullptr, &hints, &found);
    if (code != 0) {
        result.errorString = QString::fromLocal8Bit(::gai_strerror(code));
        return result;
    }
    for (const addrinfo *entry = found; entry; entry = entry->ai_next) {
        char text[NI_MAXHOST];
        if (::getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0,
                          NI_NUMERICHOST) == 0 &&
            !result.addresses.contains(QLatin1String(text)))
            result.addresses << QString::fromLatin1(text);
    }
    ::freeaddrinfo(found);
    return result;
}

} // namespace Platform
