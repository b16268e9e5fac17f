#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include "common/errorstring.h"

// The few system calls that neither Qt nor the C++ library offers: POSIX calls in
// platform_posix.cpp, Win32 calls in platform_windows.cpp; the rest of the program stays the same
// on both. Where Windows differs, the comment says so: there a link is a reparse point (a symbolic
// link or a junction), and the permission bits stand for the read-only attribute alone.
//
// The updater often runs with more rights than the accounts that can write the folders it works
// in. A name checked in such a folder may lead elsewhere a moment later, so the work is done
// through folders held open (Folder): every name is looked up in the held folder itself, files
// are created only where nothing stands, links are removed as links and never entered, and what
// the updater staged is renamed into place, never a file found under the same name later.
namespace Platform {

// A file, folder or link as it stands, never followed.
struct FileInfo
{
    enum class Kind { Absent, File, Folder, Link, Other };
    Kind kind = Kind::Absent;
    quint32 permissions = 0; // the permission bits, 0777 at most
    uint owner = 0;
    uint group = 0;
    qint64 size = 0;
    QDateTime modified;
    // Two infos with equal identities are the same file.
    quint64 device = 0;
    quint64 inode = 0;
#ifdef Q_OS_WIN
    // The file's access list (a security descriptor with its DACL), read from an open file: what
    // File::takeOwnerAndMode gives another one. Empty when taken by name.
    QByteArray security;
#endif

    bool exists() const
    {
        return kind != Kind::Absent;
    }
    bool isFile() const
    {
        return kind == Kind::File;
    }
    bool isFolder() const
    {
        return kind == Kind::Folder;
    }
    bool isLink() const
    {
        return kind == Kind::Link;
    }
    bool isSameAs(const FileInfo &other) const
    {
        return exists() && other.exists() && device == other.device && inode == other.inode;
    }
};

// An open file; closed when the object goes. descriptor() serves QFile::open(int) and libzip.
class File : public ErrorString
{
public:
    File() = default;
    explicit File(int descriptor) : m_descriptor(descriptor) {}
    ~File();
    File(File &&other) noexcept;
    File &operator=(File &&other) noexcept;
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    bool isOpen() const { return m_descriptor >= 0; }
    int descriptor() const { return m_descriptor; }
    // Gives the descriptor up: the caller closes it.
    int release();
    void close();

    FileInfo info() const;
    // Waits until the file's data is on the disk.
    bool sync();
    // All of data, with as few system calls as possible; no buffering, no locks.
    bool write(const char *data, qint64 size);
    // Reads up to size bytes from offset, whatever the file's position; the count, -1 on error.
    qint64 readAt(qint64 offset, char *data, qint64 size);
    // Writes all of data at offset, whatever the file's position.
    bool writeAt(qint64 offset, const char *data, qint64 size);
    // The file's owner, group and permission bits as reference has them; owner and group only
    // when the updater runs as root, the one case in which they would otherwise change. On
    // Windows: reference's access list, when it has one, and its read-only attribute.
    bool takeOwnerAndMode(const FileInfo &reference);
    // A descriptor of its own on the same open file, positioned at its start; -1 on failure.
    int duplicateFromStart();

private:
    int m_descriptor = -1;
};

// A folder held open for as long as the object lives. Names are single components: a name with
// a separator or "." or ".." is refused.
class Folder : public ErrorString
{
public:
    Folder() = default;
    ~Folder();
    Folder(Folder &&other) noexcept;
    Folder &operator=(Folder &&other) noexcept;
    Folder(const Folder &) = delete;
    Folder &operator=(const Folder &) = delete;

    // Opens the folder at path; links on the way are followed, since the caller chose the path.
    bool open(const QString &path);
    // Opens the folder name of parent; a link there is refused, not followed.
    bool openIn(const Folder &parent, const QString &name);
    // Opens the same folder as other, through other, with a descriptor of its own.
    bool openSame(const Folder &other);
    void close();
    bool isOpen() const { return m_descriptor >= 0; }
    // The path it was opened by (for messages: the folder may have moved since).
    QString path() const { return m_path; }
    // A path to name in this very folder, for code that takes only paths (SQLite, QFile): it
    // leads into the held folder even when the folder was renamed or replaced under its path.
    QString pathTo(const QString &name) const;
    // The folder's own path now, links resolved; empty when it can not be told.
    QString canonicalPath() const;

    FileInfo info() const;
    FileInfo infoOf(const QString &name) const;
    // True when an account other than root and the updater's own can change the folder's
    // entries: another owns it, or its group or others may write it and the sticky bit does not
    // keep them from renaming or removing what others made there. On Windows: another account
    // than the updater's, the administrators', SYSTEM's or TrustedInstaller's owns it, or its
    // access list lets another (Everyone, Users, Authenticated Users ...) add or delete entries.
    bool othersMayWrite() const;
    // The names in the folder, "." and ".." left out; empty with errorString() on failure.
    QStringList entries() const;

    // A new folder where nothing stands, with exactly these permission bits (on Windows, with
    // the access list that its folder passes on).
    bool makeFolder(const QString &name, quint32 permissions);
    // A new folder with a name of its own, prefix followed by six random characters, readable,
    // writable and searchable by the updater's user only (on Windows, an access list for that
    // user alone, passed on to what is made in it); its name, or empty on failure.
    QString makePrivateFolder(const QString &prefix);
    // A new file where nothing stands (a link there counts as something), open for writing.
    File createFile(const QString &name, quint32 permissions);
    // Opens an existing regular file for reading without ever waiting: a FIFO, a device, a
    // folder or a socket is refused before anything is read from it. A link is followed only
    // when followLink says so (and must lead to a regular file).
    enum class OpenFailure { None, Absent, Unreadable, NotRegular };
    File openForReading(const QString &name, bool followLink, OpenFailure *failure = nullptr);
    // Opens the regular file name for appending, made when missing; never through a link.
    File openForAppending(const QString &name, quint32 permissions);
    bool makeLink(const QString &name, const QString &target);

    // Renames name over toName in the folder to, replacing a file or link that stands there.
    // On Windows a file replaced gives the new one its access list, and a new file takes what
    // its new folder passes on; a program that runs (toName ends in ".exe") can not be replaced
    // but can be renamed, so it is renamed aside as toName + asideSuffix() first, an older one
    // of that name replaced, and the next run removes it.
    bool rename(const QString &name, const Folder &to, const QString &toName);
    static QString asideSuffix() { return QStringLiteral(".old"); }
    // Removes a file or a link (the link itself); an absent name is no error.
    bool remove(const QString &name);
    // Removes name and, for a folder, everything below it, without ever entering a link; an
    // absent name is no error.
    bool removeTree(const QString &name);
    // Removes name when it is an empty folder.
    bool removeEmptyFolder(const QString &name);
    // Gives name itself (a link is not followed) the owner and group of reference, when the
    // updater runs as root; otherwise does nothing.
    bool takeOwner(const QString &name, const FileInfo &reference);
    bool setPermissions(const QString &name, quint32 permissions);

    // Waits until the folder's entries (a file renamed into it) are on the disk.
    bool sync();
    // Waits until everything written to the file system that holds the folder is on the disk:
    // one call for thousands of files, where a sync of each would wait for the disk thousands
    // of times.
    bool syncFileSystem();

    // An exclusive advisory lock on the folder itself, held until the folder is closed; false at
    // once when another holds it.
    bool tryLock();
    // An exclusive advisory lock on the file name, made when missing, waiting at most timeoutMs
    // for whoever holds it. It counts only when the locked file is still the one by that name
    // (a file removed by its last holder, or by anyone else, locks nothing); otherwise it is
    // taken again. The open file holds the lock until it is closed; when it can not be had,
    // busy tells a lock held elsewhere all the time from a file that can not be locked.
    File lockFile(const QString &name, int timeoutMs, bool *busy);

    // True when a program (this one included) has the file name open in a way that keeps it from
    // being replaced: Windows locks open files, and a rename over one fails. POSIX has nothing
    // like it, and there the answer is always false.
    bool isHeldOpen(const QString &name) const;

    // For the few calls of other code that need the descriptor.
    int descriptor() const { return m_descriptor; }

private:
    bool validName(const QString &name);
    // prefix followed by six random lower-case letters and digits: names that differ in case
    // alone are one name on Windows.
    static QString withRandomSuffix(const QString &prefix);

    int m_descriptor = -1;
    QString m_path;
#ifdef Q_OS_WIN
    QString m_native;       // the folder's own path in the long form, \\?\C:\...
    void *m_lock = nullptr; // the named object that tryLock holds
#endif
};

#ifdef Q_OS_WIN
// The name that the last component of path has on the disk: the long name that a short 8.3 name
// (PROGRA~1) leads to, in the case it was written in. Empty when nothing stands there.
QString nameOnDisk(const QString &path);
#endif

// True when the updater runs with the rights of root (on Windows, with an elevated token).
bool isPrivileged();

// Running as root over a folder that another account owns, the updater takes that account's
// user and groups for the rest of the process, for good: what it does from then on, that
// account could do itself. Nothing changes otherwise, and nothing ever on Windows, which has no
// setuid: taking another account's rights there needs that account's token.
struct Identity
{
    bool changed = false; // the rights were given up for account's
    bool failed = false;  // they could not be: the process must not go on
    QString account;      // the account's name (or number), for the log
    QString errorString;
};
Identity actAsOwnerOf(const Folder &folder);

// The numeric addresses of a host, from the system's resolver. Blocks for as long as the
// resolver takes and touches nothing but its arguments, so it may be left running on a thread
// of its own. None, with the resolver's reason, when it finds none.
struct HostAddresses
{
    QStringList addresses;
    QString errorString;
};
HostAddresses lookUpHost(const QByteArray &asciiName);

} // namespace Platform
