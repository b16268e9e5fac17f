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

#include <fcntl.h>
#include <io.h>
#include <vector>

#include <QDateTime>
#include <QDir>

#include "common/files/platform.h"
#include "common/files/windows_internal.h"

namespace Platform {

namespace Windows {

namespace {

// MinGW's headers name it only for newer Windows versions.
constexpr FILE_INFO_BY_HANDLE_CLASS fileDispositionInfoEx = FILE_INFO_BY_HANDLE_CLASS(21);
// Seconds from 1601, where Windows counts its times from, to 1970.
constexpr qint64 secondsTo1970 = 11644473600LL;

} // namespace

QString systemText(DWORD code)
{
    return qt_error_string(int(code));
}

std::wstring wide(const QString &text)
{
    return text.toStdWString();
}

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
    info.permissions = info.kind == FileInfo::Kind::Folder      ? 0755
                       : (attributes & FILE_ATTRIBUTE_READONLY) ? 0444
                                                                : 0644;
    info.size = qint64((quint64(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
    const quint64 ticks =
        (quint64(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
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

DWORD newFileAttributes(quint32 permissions)
{
    return (permissions & 0200) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
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

} // namespace Windows

using namespace Windows;

// ---- File

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

namespace {

// Reads and writes at an offset move a synchronous handle's position; it is put back when this
// goes, so that they leave it where they found it, as pread and pwrite do.
class PositionKept
{
public:
    explicit PositionKept(HANDLE handle) : m_handle(handle)
    {
        SetFilePointerEx(m_handle, LARGE_INTEGER{}, &m_saved, FILE_CURRENT);
    }
    ~PositionKept() { SetFilePointerEx(m_handle, m_saved, nullptr, FILE_BEGIN); }
    PositionKept(const PositionKept &) = delete;
    PositionKept &operator=(const PositionKept &) = delete;

private:
    HANDLE m_handle;
    LARGE_INTEGER m_saved{};
};

OVERLAPPED overlappedAt(qint64 offset)
{
    OVERLAPPED at{};
    at.Offset = DWORD(quint64(offset) & 0xffffffffu);
    at.OffsetHigh = DWORD(quint64(offset) >> 32);
    return at;
}

} // namespace

qint64 File::readAt(qint64 offset, char *data, qint64 size)
{
    const HANDLE handle = handleOf(m_descriptor);
    const PositionKept kept(handle);
    qint64 done = 0;
    while (done < size) {
        OVERLAPPED at = overlappedAt(offset + done);
        DWORD n = 0;
        if (!ReadFile(handle, data + done, DWORD(qMin<qint64>(size - done, 1 << 30)), &n, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF)
                break;
            failBecause(systemText());
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
    const HANDLE handle = handleOf(m_descriptor);
    const PositionKept kept(handle);
    while (size > 0) {
        OVERLAPPED at = overlappedAt(offset);
        DWORD n = 0;
        if (!WriteFile(handle, data, DWORD(qMin<qint64>(size, 1 << 30)), &n, &at) || n == 0)
            return failBecause(n == 0 ? QStringLiteral("nothing written") : systemText());
        data += n;
        size -= n;
        offset += n;
    }
    return true;
}

bool File::takeOwnerAndMode(const FileInfo &reference)
{
    // The owner is whoever made the file, as on POSIX for anyone but root; who may use it is its
    // access list. A handle of its own may change both that and the attributes, whatever this
    // one was opened for.
    Handle handle(ReOpenFile(handleOf(m_descriptor),
                             WRITE_DAC | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, shareAll,
                             0));
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

} // namespace Platform
