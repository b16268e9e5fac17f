// Windows' side of platform.h.
//
// A descriptor here is the C runtime's: the Win32 handle is made first, with the rights, sharing
// and flags that matter, and wrapped with _open_osfhandle, so that QFile::open(int) and libzip
// take it as they take a POSIX one. Files are opened with every kind of sharing, as POSIX opens
// them: others may read, write, rename and remove them meanwhile, and a removed file goes once
// the last handle is closed.
//
// A Folder is a directory handle opened without FILE_SHARE_DELETE: while it is held, nobody can
// rename or remove the folder, nor (NTFS refuses it) any folder above it. So its long path
// (\\?\C:\..., taken from the handle, links on the way resolved) leads into the held folder for as
// long as it is held, and every name in it is reached by that path, as written: the long form
// shortens no name and turns none into a device. Reparse points (symbolic links, junctions) stand
// where the POSIX side has links: opened as themselves (FILE_FLAG_OPEN_REPARSE_POINT), never
// entered, never followed where a link would not be.
//
// File names go to the system in UTF-16 throughout.

#include "common/files/platform.h"

// winsock2.h before windows.h, which would otherwise bring the old winsock.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <fcntl.h>
#include <io.h>
#include <vector>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>

#include "common/files/windowsnames.h"

namespace Platform {

namespace {

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A held folder is listed and passed through; nobody may rename or remove it meanwhile.
constexpr DWORD folderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
constexpr DWORD folderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD asItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
// MinGW's headers name it only for newer Windows versions.
constexpr FILE_INFO_BY_HANDLE_CLASS fileDispositionInfoEx = FILE_INFO_BY_HANDLE_CLASS(21);
// Seconds from 1601, where Windows counts its times from, to 1970.
constexpr qint64 secondsTo1970 = 11644473600LL;

QString systemText(DWORD code = GetLastError())
{
    return qt_error_string(int(code));
}

std::wstring wide(const QString &text)
{
    return text.toStdWString();
}

class Handle
{
public:
    explicit Handle(HANDLE handle = INVALID_HANDLE_VALUE) : m_handle(handle) {}
    ~Handle()
    {
        if (isValid())
            CloseHandle(m_handle);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    bool isValid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
    HANDLE get() const { return m_handle; }
    HANDLE release()
    {
        const HANDLE handle = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        return handle;
    }

private:
    HANDLE m_handle;
};

HANDLE handleOf(int descriptor)
{
    return descriptor < 0 ? INVALID_HANDLE_VALUE
                          : reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

HANDLE openPath(const QString &native, DWORD access, DWORD share, DWORD disposition, DWORD flags)
{
    return CreateFileW(wide(native).c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// The C runtime's descriptor for handle, which it closes from then on; -1 (handle closed) when
// it has none left.
int descriptorFor(HANDLE handle, int flags)
{
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0)
        CloseHandle(handle);
    return fd;
}

bool isAbsent(DWORD code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

// The long form of a path, which Windows takes whatever its length and exactly as written.
QString longForm(const QString &path)
{
    const QString native = QDir::toNativeSeparators(QDir::cleanPath(QDir(path).absolutePath()));
    if (native.startsWith(QLatin1String("\\\\?\\")))
        return native;
    if (native.startsWith(QLatin1String("\\\\")))
        return QStringLiteral("\\\\?\\UNC\\") + native.mid(2);
    return QStringLiteral("\\\\?\\") + native;
}

// A path as Qt and SQLite take it: C:/dir, //server/share/dir.
QString qtForm(const QString &longPath)
{
    if (longPath.startsWith(QLatin1String("\\\\?\\UNC\\")))
        return QDir::fromNativeSeparators(QStringLiteral("\\\\") + longPath.mid(8));
    if (longPath.startsWith(QLatin1String("\\\\?\\")))
        return QDir::fromNativeSeparators(longPath.mid(4));
    return QDir::fromNativeSeparators(longPath);
}

// Where the handle's file or folder is now, every link on the way resolved; empty when the
// system can not tell.
QString finalPath(HANDLE handle)
{
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(handle, buffer.data(), DWORD(buffer.size()),
                                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0)
            return QString();
        if (n < buffer.size())
            return QString::fromWCharArray(buffer.data(), int(n));
        buffer.resize(n + 1);
    }
}

FileInfo infoFrom(const BY_HANDLE_FILE_INFORMATION &data)
{
    FileInfo info;
    const DWORD attributes = data.dwFileAttributes;
    info.kind = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) ? FileInfo::Kind::Link
                : (attributes & FILE_ATTRIBUTE_DIRECTORY)   ? FileInfo::Kind::Folder
                : (attributes & FILE_ATTRIBUTE_DEVICE)      ? FileInfo::Kind::Other
                                                            : FileInfo::Kind::File;
    // No permission bits here: the read-only attribute takes the write bits away.
    info.permissions = info.kind == FileInfo::Kind::Folder       ? 0755
                       : (attributes & FILE_ATTRIBUTE_READONLY) ? 0444
                                                                : 0644;
    info.size = qint64((quint64(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    const quint64 ticks = (quint64(data.ftLastWriteTime.dwHighDateTime) << 32) |
                          data.ftLastWriteTime.dwLowDateTime;
    info.modified = QDateTime::fromSecsSinceEpoch(qint64(ticks / 10000000u) - secondsTo1970);
    info.device = data.dwVolumeSerialNumber;
    info.inode = (quint64(data.nFileIndexHigh) << 32) | data.nFileIndexLow;
    return info;
}

FileInfo infoOfHandle(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION data;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &data))
        return FileInfo();
    FileInfo info = infoFrom(data);
    if (GetFileType(handle) != FILE_TYPE_DISK)
        info.kind = FileInfo::Kind::Other;
    return info;
}

DWORD attributesOf(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION data;
    return GetFileInformationByHandle(handle, &data) ? data.dwFileAttributes
                                                     : INVALID_FILE_ATTRIBUTES;
}

bool setAttributes(HANDLE handle, DWORD attributes)
{
    FILE_BASIC_INFO basic{}; // times of zero stay as they are
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
}

// The read-only attribute as the write bits of permissions say; folders have none that counts.
bool setReadOnly(HANDLE handle, quint32 permissions)
{
    const DWORD attributes = attributesOf(handle);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return true;
    const DWORD wanted = (permissions & 0200) ? attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)
                                              : attributes | FILE_ATTRIBUTE_READONLY;
    return wanted == attributes || setAttributes(handle, wanted);
}

// The access list of an open file, as a self-relative security descriptor.
QByteArray securityOf(HANDLE handle)
{
    DWORD needed = 0;
    GetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    if (needed == 0)
        return QByteArray();
    QByteArray descriptor(int(needed), Qt::Uninitialized);
    if (!GetKernelObjectSecurity(handle, DACL_SECURITY_INFORMATION, descriptor.data(), needed,
                                 &needed))
        return QByteArray();
    return descriptor;
}

// Gives the file exactly that access list, entries marked as inherited included: set this way
// (not through SetSecurityInfo) nothing is taken from the folder the file lies in now, which may
// be the run's private one.
bool giveSecurity(HANDLE writeDac, const QByteArray &descriptor)
{
    return SetKernelObjectSecurity(writeDac, DACL_SECURITY_INFORMATION,
                                   PSECURITY_DESCRIPTOR(descriptor.constData()));
}

// Removes the file or folder of handle (opened with DELETE), a read-only one as well; a folder
// must be empty. Where the system has them, POSIX semantics free the name at once, even while
// others have the file open; elsewhere (older Windows, Wine) it goes with the last handle.
bool deleteByHandle(HANDLE handle)
{
    FILE_DISPOSITION_INFO_EX now{FILE_DISPOSITION_FLAG_DELETE |
                                 FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                                 FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE};
    if (SetFileInformationByHandle(handle, fileDispositionInfoEx, &now, sizeof now))
        return true;
    const DWORD attributes = attributesOf(handle);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        setAttributes(handle, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
    FILE_DISPOSITION_INFO classic{TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &classic, sizeof classic);
}

// Removes name in the folder at native and everything below it, never entering a reparse point.
// Each folder is held while it is emptied, so that it can not be swapped meanwhile.
bool removeTreeAt(const QString &native, const QString &name, QString *why)
{
    const QString path = native + QLatin1Char('\\') + name;
    Handle handle(openPath(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                           folderShare, OPEN_EXISTING, asItself));
    if (!handle.isValid()) {
        const DWORD code = GetLastError();
        if (isAbsent(code))
            return true;
        *why = name + QStringLiteral(": ") + systemText(code);
        return false;
    }
    const DWORD attributes = attributesOf(handle.get());
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES &&
                        (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                        !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (folder) {
        WIN32_FIND_DATAW found;
        const HANDLE find =
            FindFirstFileExW(wide(path + QStringLiteral("\\*")).c_str(), FindExInfoBasic, &found,
                             FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
        bool emptied = true;
        if (find != INVALID_HANDLE_VALUE) {
            do {
                const QString entry = QString::fromWCharArray(found.cFileName);
                if (entry != QLatin1String(".") && entry != QLatin1String(".."))
                    emptied = removeTreeAt(path, entry, why) && emptied;
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
        if (!emptied)
            return false;
    }
    if (!deleteByHandle(handle.get())) {
        *why = name + QStringLiteral(": ") + systemText();
        return false;
    }
    return true;
}

// Flushes every file below the folder at native, for a process that may not flush the volume.
bool flushFilesBelow(const QString &native, QString *why)
{
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileExW(wide(native + QStringLiteral("\\*")).c_str(),
                                         FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                         FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE)
        return true;
    bool flushed = true;
    do {
        const QString entry = QString::fromWCharArray(found.cFileName);
        if (entry == QLatin1String(".") || entry == QLatin1String("..") ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const QString path = native + QLatin1Char('\\') + entry;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            flushed = flushFilesBelow(path, why) && flushed;
            continue;
        }
        Handle file(openPath(path, GENERIC_WRITE, shareAll, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT));
        if (!file.isValid() || !FlushFileBuffers(file.get())) {
            *why = entry + QStringLiteral(": ") + systemText();
            flushed = false;
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return flushed;
}

QString sidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return QString();
    const QString result = QString::fromWCharArray(text);
    LocalFree(text);
    return result;
}

// The SID of the account the process runs as, as text.
QString currentUser()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return QString();
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    QByteArray buffer(int(size), Qt::Uninitialized);
    QString user;
    if (size && GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
        user = sidText(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid);
    CloseHandle(token);
    return user;
}

// The accounts whose writing a folder's users have to trust anyway: the updater's own, the
// administrators, SYSTEM and TrustedInstaller, and the owner, whose rights the owner's own check
// decides.
bool isTrusted(PSID sid)
{
    static const QString user = currentUser();
    static const QString trustedInstaller = QStringLiteral(
        "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
    if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) || IsWellKnownSid(sid, WinLocalSystemSid) ||
        IsWellKnownSid(sid, WinCreatorOwnerRightsSid))
        return true;
    const QString text = sidText(sid);
    return !text.isEmpty() && (text == user || text == trustedInstaller);
}

// A security descriptor that lets the current user, and nobody else, use a folder and whatever
// is made in it (OICI); P keeps the entries of the folder above out.
class PrivateDescriptor
{
public:
    PrivateDescriptor()
    {
        const QString user = currentUser();
        if (user.isEmpty())
            return;
        const std::wstring sddl =
            wide(QStringLiteral("O:%1D:P(A;OICI;FA;;;%1)").arg(user));
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                  &m_descriptor, nullptr))
            m_descriptor = nullptr;
    }
    ~PrivateDescriptor()
    {
        if (m_descriptor)
            LocalFree(m_descriptor);
    }
    PrivateDescriptor(const PrivateDescriptor &) = delete;
    PrivateDescriptor &operator=(const PrivateDescriptor &) = delete;

    PSECURITY_DESCRIPTOR get() const { return m_descriptor; }

private:
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;
};

bool isProgram(const QString &name)
{
    return name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive);
}

} // namespace

// ---- File

File::~File()
{
    close();
}

File::File(File &&other) noexcept : ErrorString(other), m_descriptor(other.release()) {}

File &File::operator=(File &&other) noexcept
{
    if (this != &other) {
        close();
        ErrorString::operator=(other);
        m_descriptor = other.release();
    }
    return *this;
}

int File::release()
{
    const int fd = m_descriptor;
    m_descriptor = -1;
    return fd;
}

void File::close()
{
    if (m_descriptor >= 0)
        _close(m_descriptor);
    m_descriptor = -1;
}

FileInfo File::info() const
{
    const HANDLE handle = handleOf(m_descriptor);
    FileInfo info = infoOfHandle(handle);
    if (info.exists())
        info.security = securityOf(handle);
    return info;
}

bool File::sync()
{
    const HANDLE handle = handleOf(m_descriptor);
    if (FlushFileBuffers(handle))
        return true;
    // A file opened for reading may not be flushed through that handle; one for writing may.
    Handle writable(ReOpenFile(handle, GENERIC_WRITE, shareAll, 0));
    return (writable.isValid() && FlushFileBuffers(writable.get())) || failBecause(systemText());
}

bool File::write(const char *data, qint64 size)
{
    const HANDLE handle = handleOf(m_descriptor);
    while (size > 0) {
        DWORD n = 0;
        if (!WriteFile(handle, data, DWORD(qMin<qint64>(size, 1 << 30)), &n, nullptr))
            return failBecause(systemText());
        if (n == 0)
            return failBecause(QStringLiteral("nothing written"));
        data += n;
        size -= n;
    }
    return true;
}

// Reads and writes at an offset move a synchronous handle's position; it is put back, so that
// these leave it where they found it, as pread and pwrite do.
qint64 File::readAt(qint64 offset, char *data, qint64 size)
{
    const HANDLE handle = handleOf(m_descriptor);
    LARGE_INTEGER here{};
    LARGE_INTEGER saved{};
    SetFilePointerEx(handle, here, &saved, FILE_CURRENT);
    qint64 done = 0;
    while (done < size) {
        OVERLAPPED at{};
        at.Offset = DWORD(quint64(offset + done) & 0xffffffffu);
        at.OffsetHigh = DWORD(quint64(offset + done) >> 32);
        DWORD n = 0;
        if (!ReadFile(handle, data + done, DWORD(qMin<qint64>(size - done, 1 << 30)), &n, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF)
                break;
            failBecause(systemText());
            done = -1;
            break;
        }
        if (n == 0)
            break;
        done += n;
    }
    SetFilePointerEx(handle, saved, nullptr, FILE_BEGIN);
    return done;
}

bool File::writeAt(qint64 offset, const char *data, qint64 size)
{
    const HANDLE handle = handleOf(m_descriptor);
    LARGE_INTEGER here{};
    LARGE_INTEGER saved{};
    SetFilePointerEx(handle, here, &saved, FILE_CURRENT);
    bool written = true;
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = DWORD(quint64(offset) & 0xffffffffu);
        at.OffsetHigh = DWORD(quint64(offset) >> 32);
        DWORD n = 0;
        if (!WriteFile(handle, data, DWORD(qMin<qint64>(size, 1 << 30)), &n, &at) || n == 0) {
            written = failBecause(n == 0 ? QStringLiteral("nothing written") : systemText());
            break;
        }
        data += n;
        size -= n;
        offset += n;
    }
    SetFilePointerEx(handle, saved, nullptr, FILE_BEGIN);
    return written;
}

bool File::takeOwnerAndMode(const FileInfo &reference)
{
    // The owner is whoever made the file, as on POSIX for anyone but root; who may use it is its
    // access list. A handle of its own may change both that and the attributes, whatever this
    // one was opened for.
    Handle handle(ReOpenFile(handleOf(m_descriptor),
                             WRITE_DAC | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, shareAll, 0));
    if (!handle.isValid())
        return failBecause(QStringLiteral("access list: ") + systemText());
    if (!reference.security.isEmpty() && !giveSecurity(handle.get(), reference.security))
        return failBecause(QStringLiteral("access list: ") + systemText());
    return setReadOnly(handle.get(), reference.permissions) ||
           failBecause(QStringLiteral("attributes: ") + systemText());
}

int File::duplicateFromStart()
{
    // A handle of its own on the same file has a position of its own, at the start.
    Handle handle(ReOpenFile(handleOf(m_descriptor), GENERIC_READ, shareAll, 0));
    return handle.isValid() ? descriptorFor(handle.release(), _O_RDONLY) : -1;
}

// ---- Folder

Folder::~Folder()
{
    close();
}

Folder::Folder(Folder &&other) noexcept
    : ErrorString(other), m_descriptor(other.m_descriptor), m_path(other.m_path),
      m_native(other.m_native), m_lock(other.m_lock)
{
    other.m_descriptor = -1;
    other.m_lock = nullptr;
}

Folder &Folder::operator=(Folder &&other) noexcept
{
    if (this != &other) {
        close();
        ErrorString::operator=(other);
        m_descriptor = other.m_descriptor;
        m_path = other.m_path;
        m_native = other.m_native;
        m_lock = other.m_lock;
        other.m_descriptor = -1;
        other.m_lock = nullptr;
    }
    return *this;
}

void Folder::close()
{
    if (m_lock)
        CloseHandle(m_lock);
    m_lock = nullptr;
    if (m_descriptor >= 0)
        _close(m_descriptor);
    m_descriptor = -1;
}

bool Folder::validName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return failBecause(QStringLiteral("\"%1\" is not a name in a folder").arg(name));
    const QString problem = WindowsNames::problemOf(name);
    if (!problem.isEmpty())
        return failBecause(QStringLiteral("\"%1\" is not a name in a folder: it %2")
                               .arg(name, problem));
    return true;
}

bool Folder::open(const QString &path)
{
    close();
    clearError();
    m_path = path;
    const QString native = longForm(path);
    Handle handle(openPath(native, folderAccess, folderShare, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS));
    if (!handle.isValid())
        return failBecause(path + QStringLiteral(": ") + systemText());
    const DWORD attributes = attributesOf(handle.get());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return failBecause(path + QStringLiteral(": not a folder"));
    const QString final = finalPath(handle.get());
    m_native = final.isEmpty() ? native : final;
    m_descriptor = descriptorFor(handle.release(), _O_RDONLY);
    return m_descriptor >= 0 || failBecause(path + QStringLiteral(": no descriptor left"));
}

bool Folder::openIn(const Folder &parent, const QString &name)
{
    close();
    clearError();
    m_path = parent.path() + QLatin1Char('/') + name;
    if (!validName(name))
        return false;
    const QString native = parent.m_native + QLatin1Char('\\') + name;
    Handle handle(openPath(native, folderAccess, folderShare, OPEN_EXISTING, asItself));
    if (!handle.isValid())
        return failBecause(m_path + QStringLiteral(": ") + systemText());
    const DWORD attributes = attributesOf(handle.get());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return failBecause(m_path + QStringLiteral(": is a link"));
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return failBecause(m_path + QStringLiteral(": not a folder"));
    m_native = native;
    m_descriptor = descriptorFor(handle.release(), _O_RDONLY);
    return m_descriptor >= 0 || failBecause(m_path + QStringLiteral(": no descriptor left"));
}

bool Folder::openSame(const Folder &other)
{
    close();
    clearError();
    m_path = other.path();
    HANDLE copy = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), handleOf(other.descriptor()), GetCurrentProcess(),
                         &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return failBecause(m_path + QStringLiteral(": ") + systemText());
    m_native = other.m_native;
    m_descriptor = descriptorFor(copy, _O_RDONLY);
    return m_descriptor >= 0 || failBecause(m_path + QStringLiteral(": no descriptor left"));
}

QString Folder::pathTo(const QString &name) const
{
    // The folder can be neither renamed nor removed while it is held: its path stays its own.
    const QString folder = qtForm(m_native);
    return name == QLatin1String(".") ? folder : folder + QLatin1Char('/') + name;
}

QString Folder::canonicalPath() const
{
    return qtForm(finalPath(handleOf(m_descriptor)));
}

FileInfo Folder::info() const
{
    return infoOfHandle(handleOf(m_descriptor));
}

FileInfo Folder::infoOf(const QString &name) const
{
    if (m_descriptor < 0 || name.isEmpty() || !WindowsNames::problemOf(name).isEmpty())
        return FileInfo();
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return name == QLatin1String(".") ? info() : FileInfo();
    const QString native = m_native + QLatin1Char('\\') + name;
    // Attributes may be read whoever holds the file and however.
    Handle handle(openPath(native, FILE_READ_ATTRIBUTES, shareAll, OPEN_EXISTING, asItself));
    if (handle.isValid())
        return infoOfHandle(handle.get());
    // A file that can not even be opened that far (one being removed, say): what its name shows.
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide(native).c_str(), GetFileExInfoStandard, &data))
        return FileInfo();
    BY_HANDLE_FILE_INFORMATION named{};
    named.dwFileAttributes = data.dwFileAttributes;
    named.ftLastWriteTime = data.ftLastWriteTime;
    named.nFileSizeHigh = data.nFileSizeHigh;
    named.nFileSizeLow = data.nFileSizeLow;
    return infoFrom(named);
}

bool Folder::othersMayWrite() const
{
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (m_descriptor < 0 ||
        GetSecurityInfo(handleOf(m_descriptor), SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return true;
    // The owner may always change the access list; no list at all lets everybody do anything.
    bool others = !owner || !isTrusted(owner) || !dacl;
    const DWORD changesEntries = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                 DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; !others && dacl && i < dacl->AceCount; ++i) {
        ACE_HEADER *header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void **>(&header)) ||
            header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE))
            continue;
        const auto *ace = reinterpret_cast<ACCESS_ALLOWED_ACE *>(header);
        if ((ace->Mask & changesEntries) &&
            !isTrusted(reinterpret_cast<PSID>(const_cast<DWORD *>(&ace->SidStart))))
            others = true;
    }
    LocalFree(descriptor);
    return others;
}

QStringList Folder::entries() const
{
    QStringList names;
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileExW(wide(m_native + QStringLiteral("\\*")).c_str(),
                                         FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                         FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND)
            const_cast<Folder *>(this)->failBecause(m_path + QStringLiteral(": ") + systemText());
        return names;
    }
    do {
        const QString name = QString::fromWCharArray(found.cFileName);
        if (name != QLatin1String(".") && name != QLatin1String(".."))
            names << name;
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return names;
}

bool Folder::makeFolder(const QString &name, quint32 permissions)
{
    // No permission bits on Windows: the folder takes what its folder passes on.
    Q_UNUSED(permissions);
    if (!validName(name))
        return false;
    return CreateDirectoryW(wide(m_native + QLatin1Char('\\') + name).c_str(), nullptr) ||
           failBecause(name + QStringLiteral(": ") + systemText());
}

QString Folder::makePrivateFolder(const QString &prefix)
{
    const PrivateDescriptor descriptor;
    if (!descriptor.get()) {
        failBecause(QStringLiteral("can not make a folder in %1: no access list for the current "
                                   "user: %2")
                        .arg(m_path, systemText()));
        return QString();
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString name = prefix;
        // Lower case only: names differing in case alone are one name here.
        for (int i = 0; i < 6; ++i)
            name += QLatin1Char(letters[QRandomGenerator::system()->bounded(36)]);
        if (CreateDirectoryW(wide(m_native + QLatin1Char('\\') + name).c_str(), &attributes))
            return name;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    failBecause(QStringLiteral("can not make a folder in %1: %2").arg(m_path, systemText()));
    return QString();
}

File Folder::createFile(const QString &name, quint32 permissions)
{
    if (!validName(name))
        return File();
    // CREATE_NEW: a link standing there counts as something, and is never written through.
    Handle handle(openPath(m_native + QLatin1Char('\\') + name,
                           GENERIC_READ | GENERIC_WRITE | WRITE_DAC, shareAll, CREATE_NEW,
                           ((permissions & 0200) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY) |
                               FILE_FLAG_OPEN_REPARSE_POINT));
    if (!handle.isValid()) {
        failBecause(name + QStringLiteral(": ") + systemText());
        return File();
    }
    const int fd = descriptorFor(handle.release(), _O_RDWR);
    if (fd < 0)
        failBecause(name + QStringLiteral(": no descriptor left"));
    return File(fd);
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
    auto missingOrUnreadable = [](DWORD code) {
        return isAbsent(code) ? OpenFailure::Absent : OpenFailure::Unreadable;
    };
    if (!validName(name))
        return refused(OpenFailure::Unreadable, errorString());
    const QString native = m_native + QLatin1Char('\\') + name;
    // Looking first keeps a folder or a device from ever being opened as a file; the check of the
    // handle is the one that counts, since the name may lead elsewhere by then.
    const DWORD named = GetFileAttributesW(wide(native).c_str());
    if (named == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        return refused(missingOrUnreadable(code), systemText(code));
    }
    if (!followLink && (named & FILE_ATTRIBUTE_REPARSE_POINT))
        return refused(OpenFailure::NotRegular, QStringLiteral("is a link"));
    if ((named & FILE_ATTRIBUTE_DIRECTORY) && !(named & FILE_ATTRIBUTE_REPARSE_POINT))
        return refused(OpenFailure::NotRegular, QStringLiteral("is a folder"));
    if (named & FILE_ATTRIBUTE_DEVICE)
        return refused(OpenFailure::NotRegular, QStringLiteral("is a device"));
    Handle handle(openPath(native, GENERIC_READ, shareAll, OPEN_EXISTING,
                           followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT));
    if (!handle.isValid()) {
        const DWORD code = GetLastError();
        return refused(missingOrUnreadable(code), systemText(code));
    }
    const DWORD type = GetFileType(handle.get());
    const DWORD opened = attributesOf(handle.get());
    if (type == FILE_TYPE_CHAR)
        return refused(OpenFailure::NotRegular, QStringLiteral("is a device"));
    if (type == FILE_TYPE_PIPE)
        return refused(OpenFailure::NotRegular, QStringLiteral("is a pipe"));
    if (type != FILE_TYPE_DISK || opened == INVALID_FILE_ATTRIBUTES)
        return refused(OpenFailure::NotRegular, QStringLiteral("is not a regular file"));
    if (opened & FILE_ATTRIBUTE_REPARSE_POINT)
        return refused(OpenFailure::NotRegular, QStringLiteral("is a link"));
    if (opened & FILE_ATTRIBUTE_DIRECTORY)
        return refused(OpenFailure::NotRegular, QStringLiteral("is a folder"));
    if (opened & FILE_ATTRIBUTE_DEVICE)
        return refused(OpenFailure::NotRegular, QStringLiteral("is a device"));
    const int fd = descriptorFor(handle.release(), _O_RDONLY);
    if (fd < 0)
        return refused(OpenFailure::Unreadable, QStringLiteral("no descriptor left"));
    kind = OpenFailure::None;
    return File(fd);
}

File Folder::openForAppending(const QString &name, quint32 permissions)
{
    if (!validName(name))
        return File();
    // Appending rights alone: every write lands at the end, whoever else writes there.
    Handle handle(openPath(m_native + QLatin1Char('\\') + name,
                           FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                           shareAll, OPEN_ALWAYS,
                           ((permissions & 0200) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY) |
                               FILE_FLAG_OPEN_REPARSE_POINT));
    if (!handle.isValid()) {
        failBecause(name + QStringLiteral(": ") + systemText());
        return File();
    }
    // A second name of somebody else's file (a hard link) would have us append to that file.
    BY_HANDLE_FILE_INFORMATION data;
    if (GetFileType(handle.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(handle.get(), &data) ||
        (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        data.nNumberOfLinks != 1) {
        failBecause(name + QStringLiteral(": not a file of its own"));
        return File();
    }
    const int fd = descriptorFor(handle.release(), _O_WRONLY | _O_APPEND);
    if (fd < 0)
        failBecause(name + QStringLiteral(": no descriptor left"));
    return File(fd);
}

bool Folder::makeLink(const QString &name, const QString &target)
{
    if (!validName(name))
        return false;
    const QString native = m_native + QLatin1Char('\\') + name;
    const QString to = QDir::toNativeSeparators(target);
    const DWORD targetAttributes = GetFileAttributesW(
        wide(QDir::isAbsolutePath(target) ? to : m_native + QLatin1Char('\\') + to).c_str());
    DWORD flags = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
    if (targetAttributes != INVALID_FILE_ATTRIBUTES &&
        (targetAttributes & FILE_ATTRIBUTE_DIRECTORY))
        flags |= SYMBOLIC_LINK_FLAG_DIRECTORY;
    if (!CreateSymbolicLinkW(wide(native).c_str(), wide(to).c_str(), flags))
        return failBecause(name + QStringLiteral(": ") + systemText());
    // Some systems (Wine) answer yes and make nothing.
    const DWORD made = GetFileAttributesW(wide(native).c_str());
    return (made != INVALID_FILE_ATTRIBUTES && (made & FILE_ATTRIBUTE_REPARSE_POINT)) ||
           failBecause(name + QStringLiteral(": the system makes no links"));
}

bool Folder::rename(const QString &name, const Folder &to, const QString &toName)
{
    if (!validName(name) || !validName(toName))
        return false;
    const QString from = m_native + QLatin1Char('\\') + name;
    const QString onto = to.m_native + QLatin1Char('\\') + toName;
    auto failed = [&](const QString &why) {
        return failBecause(QStringLiteral("%1 -> %2: %3").arg(name, toName, why));
    };
    // A file that is replaced passes its access list on, and loses its read-only attribute, which
    // would refuse the rename, until the rename is done. It is closed again before: a rename over
    // a file that anybody holds open fails.
    bool replacing = false;
    bool wasReadOnly = false;
    {
        Handle standing(openPath(onto, READ_CONTROL | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                 shareAll, OPEN_EXISTING, asItself));
        const DWORD attributes =
            standing.isValid() ? attributesOf(standing.get()) : INVALID_FILE_ATTRIBUTES;
        replacing = attributes != INVALID_FILE_ATTRIBUTES &&
                    !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
        if (replacing) {
            const QByteArray security = securityOf(standing.get());
            Handle moving(openPath(from, WRITE_DAC | FILE_READ_ATTRIBUTES, shareAll, OPEN_EXISTING,
                                   asItself));
            if (!security.isEmpty() && (!moving.isValid() || !giveSecurity(moving.get(), security)))
                return failed(QStringLiteral("access list: ") + systemText());
            wasReadOnly = attributes & FILE_ATTRIBUTE_READONLY;
            if (wasReadOnly && !setAttributes(standing.get(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))
                return failed(systemText());
        }
    }
    const DWORD movingAttributes = GetFileAttributesW(wide(from).c_str());
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (!MoveFileExW(wide(from).c_str(), wide(onto).c_str(), flags)) {
        const DWORD code = GetLastError();
        // A program that runs can not be replaced, but it can be renamed: aside with it, and the
        // new one takes its name. The program goes on running from the file renamed.
        const QString aside = onto + asideSuffix();
        const bool running = replacing && isProgram(toName) &&
                             (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION);
        if (running && MoveFileExW(wide(onto).c_str(), wide(aside).c_str(), flags)) {
            if (MoveFileExW(wide(from).c_str(), wide(onto).c_str(), MOVEFILE_WRITE_THROUGH))
                return true;
            const DWORD second = GetLastError();
            MoveFileExW(wide(aside).c_str(), wide(onto).c_str(), MOVEFILE_WRITE_THROUGH);
            return failed(systemText(second));
        }
        if (wasReadOnly) {
            Handle standing(openPath(onto, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, shareAll,
                                     OPEN_EXISTING, asItself));
            if (standing.isValid())
                setAttributes(standing.get(), attributesOf(standing.get()) | FILE_ATTRIBUTE_READONLY);
        }
        return failed(systemText(code));
    }
    // A new file takes what its new folder passes on, not what the folder it was made in did; a
    // link keeps its own, which is never followed.
    if (!replacing && movingAttributes != INVALID_FILE_ATTRIBUTES &&
        !(movingAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && !info().isSameAs(to.info())) {
        ACL empty;
        if (InitializeAcl(&empty, sizeof empty, ACL_REVISION))
            SetNamedSecurityInfoW(const_cast<wchar_t *>(wide(onto).c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &empty, nullptr);
    }
    return true;
}

bool Folder::remove(const QString &name)
{
    if (!validName(name))
        return false;
    Handle handle(openPath(m_native + QLatin1Char('\\') + name,
                           DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                           shareAll, OPEN_EXISTING, asItself));
    if (!handle.isValid()) {
        const DWORD code = GetLastError();
        return isAbsent(code) || failBecause(name + QStringLiteral(": ") + systemText(code));
    }
    const DWORD attributes = attributesOf(handle.get());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return failBecause(name + QStringLiteral(": is a folder"));
    return deleteByHandle(handle.get()) || failBecause(name + QStringLiteral(": ") + systemText());
}

bool Folder::removeTree(const QString &name)
{
    if (!validName(name))
        return false;
    QString why;
    return removeTreeAt(m_native, name, &why) || failBecause(why);
}

bool Folder::removeEmptyFolder(const QString &name)
{
    if (!validName(name))
        return false;
    const QString native = m_native + QLatin1Char('\\') + name;
    {
        Handle handle(openPath(native, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, folderShare,
                               OPEN_EXISTING, asItself));
        if (!handle.isValid())
            return failBecause(name + QStringLiteral(": ") + systemText());
        const DWORD attributes = attributesOf(handle.get());
        if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return failBecause(name + QStringLiteral(": not a folder"));
        if (!deleteByHandle(handle.get()))
            return failBecause(name + QStringLiteral(": ") + systemText());
    }
    // Where a folder goes only with its last handle, one that was not empty stays.
    return GetFileAttributesW(wide(native).c_str()) == INVALID_FILE_ATTRIBUTES ||
           failBecause(name + QStringLiteral(": the folder is not empty"));
}

bool Folder::takeOwner(const QString &name, const FileInfo &reference)
{
    // What is made in a folder is owned by whoever made it and takes the access list that the
    // folder passes on; there is no owner to give away.
    Q_UNUSED(reference);
    return validName(name);
}

bool Folder::setPermissions(const QString &name, quint32 permissions)
{
    if (!validName(name))
        return false;
    Handle handle(openPath(m_native + QLatin1Char('\\') + name,
                           FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, shareAll, OPEN_EXISTING,
                           asItself));
    return (handle.isValid() && setReadOnly(handle.get(), permissions)) ||
           failBecause(name + QStringLiteral(": attributes: ") + systemText());
}

bool Folder::sync()
{
    // A folder's entries are flushed through a handle that may write it.
    Handle handle(openPath(m_native, GENERIC_WRITE, shareAll, OPEN_EXISTING, asItself));
    return (handle.isValid() && FlushFileBuffers(handle.get())) ||
           failBecause(m_path + QStringLiteral(": ") + systemText());
}

bool Folder::syncFileSystem()
{
    // The whole volume at once needs an administrator; anyone else flushes the files below the
    // folder, which are the ones the caller has just written.
    wchar_t volume[MAX_PATH + 1];
    if (GetVolumePathNameW(wide(m_native).c_str(), volume, MAX_PATH + 1)) {
        QString device = QString::fromWCharArray(volume);
        if (device.startsWith(QLatin1String("\\\\?\\")))
            device = QStringLiteral("\\\\.\\") + device.mid(4);
        if (device.endsWith(QLatin1Char('\\')))
            device.chop(1);
        Handle whole(openPath(device, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0));
        if (whole.isValid() && FlushFileBuffers(whole.get()))
            return true;
    }
    QString why;
    return flushFilesBelow(m_native, &why) || failBecause(m_path + QStringLiteral(": ") + why);
}

bool Folder::tryLock()
{
    // A folder can not be locked as a file can. A named object, which lives as long as a handle
    // of it does, stands for the folder: named by the folder's identity, not its path, it is the
    // same for every path that leads there, and nobody can take it away by removing a file.
    if (m_lock)
        return true;
    const FileInfo own = info();
    if (!own.exists())
        return failBecause(m_path + QStringLiteral(": ") + systemText());
    const QString id = QStringLiteral("KestrelixUpdaterFolder-%1-%2")
                           .arg(own.device, 0, 16)
                           .arg(own.inode, 0, 16);
    for (const QString &scope : {QStringLiteral("Global\\"), QStringLiteral("Local\\")}) {
        const HANDLE lock = CreateMutexW(nullptr, FALSE, wide(scope + id).c_str());
        const DWORD code = GetLastError();
        if (lock && code != ERROR_ALREADY_EXISTS) {
            m_lock = lock;
            return true;
        }
        if (lock)
            CloseHandle(lock);
        // Made by another run (of another account, which may even keep us from opening it).
        if (lock || code == ERROR_ACCESS_DENIED)
            return failBecause(QStringLiteral("another process holds the folder"));
    }
    return failBecause(m_path + QStringLiteral(": ") + systemText());
}

File Folder::lockFile(const QString &name, int timeoutMs, bool *busy)
{
    *busy = false;
    if (!validName(name))
        return File();
    const QString native = m_native + QLatin1Char('\\') + name;
    QElapsedTimer waited;
    waited.start();
    auto wait = [&](DWORD code) {
        const bool held = code == ERROR_LOCK_VIOLATION || code == ERROR_SHARING_VIOLATION;
        if (!held || waited.elapsed() >= timeoutMs) {
            *busy = held;
            failBecause(systemText(code));
            return false;
        }
        QThread::msleep(50);
        return true;
    };
    for (;;) {
        // Without FILE_SHARE_DELETE: nobody can remove or rename the file while it is held.
        Handle lock(openPath(native, GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT));
        if (!lock.isValid()) {
            if (wait(GetLastError()))
                continue;
            return File();
        }
        const DWORD attributes = attributesOf(lock.get());
        if (attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
            failBecause(name + QStringLiteral(" is not a file"));
            return File();
        }
        bool locked = false;
        for (;;) {
            OVERLAPPED whole{};
            if (LockFileEx(lock.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                           MAXDWORD, MAXDWORD, &whole)) {
                locked = true;
                break;
            }
            if (!wait(GetLastError()))
                break;
        }
        if (!locked)
            return File();
        if (infoOfHandle(lock.get()).isSameAs(infoOf(name))) {
            const int fd = descriptorFor(lock.release(), _O_RDWR);
            if (fd < 0)
                failBecause(name + QStringLiteral(": no descriptor left"));
            return File(fd);
        }
    }
}

bool Folder::isHeldOpen(const QString &name) const
{
    // Whoever holds the file without FILE_SHARE_DELETE keeps it from being replaced, and from
    // being opened for deleting, which is all this asks: the file is closed again untouched.
    if (m_descriptor < 0 || !WindowsNames::problemOf(name).isEmpty())
        return false;
    Handle probe(openPath(m_native + QLatin1Char('\\') + name, DELETE, shareAll, OPEN_EXISTING,
                          asItself));
    return !probe.isValid() && GetLastError() == ERROR_SHARING_VIOLATION;
}

QString nameOnDisk(const QString &path)
{
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW(wide(longForm(path)).c_str(), &found);
    if (find == INVALID_HANDLE_VALUE)
        return QString();
    FindClose(find);
    return QString::fromWCharArray(found.cFileName);
}

bool isPrivileged()
{
    // An administrator's elevated token (or SYSTEM's): the nearest Windows has to root.
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
        elevation.TokenIsElevated;
    CloseHandle(token);
    return elevated;
}

Identity actAsOwnerOf(const Folder &folder)
{
    // No setuid here: an elevated updater keeps its token. What keeps another account from
    // steering it is that folders others can write are refused (othersMayWrite).
    Q_UNUSED(folder);
    return Identity();
}

HostAddresses lookUpHost(const QByteArray &asciiName)
{
    HostAddresses result;
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started) {
        result.errorString = QStringLiteral("Windows sockets could not be started");
        return result;
    }
    ADDRINFOW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    ADDRINFOW *found = nullptr;
    const int code = GetAddrInfoW(wide(QString::fromLatin1(asciiName)).c_str(), nullptr, &hints,
                                  &found);
    if (code != 0) {
        result.errorString = systemText(DWORD(code));
        return result;
    }
    for (const ADDRINFOW *entry = found; entry; entry = entry->ai_next) {
        wchar_t text[NI_MAXHOST];
        if (GetNameInfoW(entry->ai_addr, socklen_t(entry->ai_addrlen), text, NI_MAXHOST, nullptr, 0,
                         NI_NUMERICHOST) == 0) {
            const QString address = QString::fromWCharArray(text);
            if (!result.addresses.contains(address))
                result.addresses << address;
        }
    }
    FreeAddrInfoW(found);
    return result;
}

} // namespace Platform
