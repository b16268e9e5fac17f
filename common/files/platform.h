#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include "common/errorstring.h"

// The few system calls that neither Qt nor the C++ library offers. They are POSIX calls in
// platform_posix.cpp; another system implements this header in a sibling file (for Windows,
// platform_windows.cpp) and the rest of the program stays as it is.
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

    bool exists() const { return kind != Kind::Absent; }
    bool isFile() const { return kind == Kind::File; }
    bool isFolder() const { return kind == Kind::Folder; }
    bool isLink() const { return kind == Kind::Link; }
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
    // when the updater runs as root, the one case in which they would otherwise change.
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
    // keep them from renaming or removing what others made there.
    bool othersMayWrite() const;
    // The names in the folder, "." and ".." left out; empty with errorString() on failure.
    QStringList entries() const;

    // A new folder where nothing stands, with exactly these permission bits.
    bool makeFolder(const QString &name, quint32 permissions);
    // A new folder with a name of its own, prefix followed by six random characters, readable,
    // writable and searchable by the updater's user only; its name, or empty on failure.
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
    bool rename(const QString &name, const Folder &to, const QString &toName);
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

    // For the few calls of other code that need the descriptor.
    int descriptor() const { return m_descriptor; }

private:
    bool validName(const QString &name);

    int m_descriptor = -1;
    QString m_path;
};

// True when the updater runs with the rights of root.
bool isPrivileged();

// Running as root over a folder that another account owns, the updater takes that account's
// user and groups for the rest of the process, for good: what it does from then on, that
// account could do itself. Nothing changes otherwise.
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
