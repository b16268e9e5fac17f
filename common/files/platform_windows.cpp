// Windows' side of platform.h. A descriptor here is the C runtime's: the Win32 handle is made
// first, with the sharing and flags that matter, and wrapped with _open_osfhandle, so that QFile,
// libzip and the rest take it as they take a POSIX one.

#include "common/files/platform.h"

// winsock2.h before windows.h, which would otherwise bring the old winsock.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <sddl.h>
// clang-format on

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QThread>

namespace Platform {

namespace {

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

QString systemText(DWORD code = GetLastError())
{
    return qt_error_string(int(code));
}

std::wstring nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

HANDLE handleOf(int descriptor)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
}

bool isAbsent(DWORD code)
{
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ||
           code == ERROR_INVALID_NAME;
}

// What a file of the download folder is when it is not a plain file: a link or junction is a
// reparse point, and a device or pipe is no disk file at all.
QString kindOf(DWORD attributes)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return QStringLiteral("a link or another reparse point");
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return QStringLiteral("a folder");
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return QStringLiteral("a device");
    return QStringLiteral("not a regular file");
}

bool isPlainFile(DWORD attributes)
{
    return !(attributes &
             (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

// Flushes every regular file below folder, for a caller that may not flush the whole volume.
bool syncFilesBelow(const QString &folder)
{
    const QFileInfoList entries = QDir(folder).entryInfoList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir()) {
            if (!syncFilesBelow(entry.filePath()))
                return false;
            continue;
        }
        const HANDLE file =
            CreateFileW(nativePath(entry.filePath()).c_str(), GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return failed(false, entry.filePath() + QStringLiteral(": ") + systemText());
        const bool flushed = FlushFileBuffers(file) ||
                             failed(false, entry.filePath() + QStringLiteral(": ") + systemText());
        CloseHandle(file);
        if (!flushed)
            return false;
    }
    return true;
}

// A security descriptor that lets the current user, and nobody else, use a folder and what is
// made in it; it inherits nothing from the folder it is made in.
class PrivateDescriptor
{
public:
    PrivateDescriptor();
    ~PrivateDescriptor();
    PrivateDescriptor(const PrivateDescriptor &) = delete;
    PrivateDescriptor &operator=(const PrivateDescriptor &) = delete;

    PSECURITY_DESCRIPTOR get() const { return m_descriptor; }

private:
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;
};

PrivateDescriptor::PrivateDescriptor()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        lastError = QStringLiteral("the process token: ") + systemText();
        return;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    QByteArray buffer(int(size), Qt::Uninitialized);
    LPWSTR sid = nullptr;
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid, &sid)) {
        lastError = QStringLiteral("the current user: ") + systemText();
        CloseHandle(token);
        return;
    }
    CloseHandle(token);
    // Owned by the user, who has full access, to the folder and (OICI) whatever is made in it; P
    // keeps the parent's entries out.
    const QString user = QString::fromWCharArray(sid);
    LocalFree(sid);
    const std::wstring sddl =
        (QStringLiteral("O:") + user + QStringLiteral("D:P(A;OICI;FA;;;") + user + ')')
            .toStdWString();
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &m_descriptor, nullptr))
        lastError = QStringLiteral("the folder's access list: ") + systemText();
}

PrivateDescriptor::~PrivateDescriptor()
{
    if (m_descriptor)
        LocalFree(m_descriptor);
}

} // namespace

QString errorString()
{
    return lastError;
}

bool syncFile(int descriptor)
{
    const HANDLE file = handleOf(descriptor);
    if (file == INVALID_HANDLE_VALUE)
        return failed(false, errnoText());
    return FlushFileBuffers(file) || failed(false, systemText());
}

void syncFolder(const QString &folder)
{
    // NTFS writes a rename's entries through its journal; flushing the folder's handle asks for
    // them now, where the file system allows it.
    const HANDLE handle = CreateFileW(
        nativePath(folder.isEmpty() ? QStringLiteral(".") : folder).c_str(),
        GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    FlushFileBuffers(handle);
    CloseHandle(handle);
}

bool syncFileSystem(const QString &path)
{
    // Flushing a whole volume needs an administrator; anyone else flushes the files below path,
    // which are the ones the caller has just written.
    wchar_t volume[MAX_PATH + 1];
    if (GetVolumePathNameW(nativePath(QDir(path).absolutePath()).c_str(), volume, MAX_PATH)) {
        std::wstring device = L"\\\\.\\" + std::wstring(volume);
        if (!device.empty() && device.back() == L'\\')
            device.pop_back();
        const HANDLE handle =
            CreateFileW(device.c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            const bool flushed = FlushFileBuffers(handle);
            CloseHandle(handle);
            if (flushed)
                return true;
        }
    }
    return syncFilesBelow(path);
}

int openForAppend(const QString &path)
{
    return _wopen(nativePath(path).c_str(),
                  _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT,
                  _S_IREAD | _S_IWRITE);
}

bool writeAll(int descriptor, const char *data, qint64 size)
{
    while (size > 0) {
        const int n = _write(descriptor, data, unsigned(qMin<qint64>(size, 1 << 30)));
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

int duplicateFromStart(int descriptor)
{
    const int fd = _dup(descriptor);
    if (fd >= 0 && _lseeki64(fd, 0, SEEK_SET) != 0) {
        _close(fd);
        return -1;
    }
    return fd;
}

void closeDescriptor(int descriptor)
{
    _close(descriptor);
}

int openRegularForReading(const QString &path, OpenFailure *failure)
{
    auto refused = [&](OpenFailure kind, const QString &text) {
        *failure = kind;
        return failed(-1, text);
    };
    const std::wstring name = nativePath(path);
    // Looking first keeps a device or pipe from ever being opened; the check of the handle is the
    // one that counts, since the name may lead elsewhere by then.
    const DWORD named = GetFileAttributesW(name.c_str());
    if (named == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        return refused(isAbsent(code) ? OpenFailure::Absent : OpenFailure::Unreadable,
                       systemText(code));
    }
    if (!isPlainFile(named))
        return refused(OpenFailure::NotRegular, QStringLiteral("is ") + kindOf(named));
    // Nobody may write the file while it is held (a sharing violation for whoever tries), and a
    // link is opened as the link, never followed.
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        return refused(isAbsent(code) ? OpenFailure::Absent : OpenFailure::Unreadable,
                       systemText(code));
    }
    BY_HANDLE_FILE_INFORMATION opened;
    const DWORD type = GetFileType(file);
    if (type != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &opened) ||
        !isPlainFile(opened.dwFileAttributes)) {
        const QString text = type == FILE_TYPE_CHAR   ? QStringLiteral("is a device")
                             : type == FILE_TYPE_PIPE ? QStringLiteral("is a pipe")
                             : type != FILE_TYPE_DISK
                                 ? QStringLiteral("is not a regular file")
                                 : QStringLiteral("is ") + kindOf(opened.dwFileAttributes);
        CloseHandle(file);
        return refused(OpenFailure::NotRegular, text);
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return refused(OpenFailure::Unreadable, errnoText());
    }
    *failure = OpenFailure::None;
    return fd;
}

int lockExclusively(const QString &path, int timeoutMs, bool *busy)
{
    *busy = false;
    const HANDLE file = CreateFileW(nativePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return failed(-1, systemText());
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) || !isPlainFile(info.dwFileAttributes)) {
        CloseHandle(file);
        return failed(-1, QStringLiteral("is not a regular file"));
    }
    // The lock goes with the handle: closing the descriptor (or the process ending) lets it go.
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        OVERLAPPED whole{};
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                       MAXDWORD, &whole))
            break;
        const DWORD code = GetLastError();
        const bool held = code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING;
        if (!held || waited.elapsed() >= timeoutMs) {
            *busy = held;
            CloseHandle(file);
            return failed(-1, systemText(code));
        }
        QThread::msleep(50);
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR | _O_BINARY);
    if (fd < 0) {
        CloseHandle(file);
        return failed(-1, errnoText());
    }
    return fd;
}

QString makePrivateFolder(const QString &pathTemplate)
{
    const QString suffix = QStringLiteral("XXXXXX");
    if (!pathTemplate.endsWith(suffix))
        return failed(QString(), QStringLiteral("no XXXXXX at the end of ") + pathTemplate);
    const PrivateDescriptor descriptor;
    if (!descriptor.get())
        return QString();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    const QString letters = QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789");
    for (int attempt = 0; attempt < 100; ++attempt) {
        QString path = pathTemplate.chopped(suffix.size());
        for (int i = 0; i < suffix.size(); ++i)
            path += letters.at(int(QRandomGenerator::system()->bounded(letters.size())));
        if (CreateDirectoryW(nativePath(path).c_str(), &attributes))
            return path;
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            return failed(QString(), systemText());
    }
    return failed(QString(), QStringLiteral("no free name for ") + pathTemplate);
}

bool takeOwnerAndMode(const QString &reference, int descriptor)
{
    // Windows has no mode bits: the attributes that stand for them (read-only, hidden, system)
    // are carried over. Who may use the file is its access list, which it inherits from the
    // folder it is made in.
    const DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    const DWORD old = GetFileAttributesW(nativePath(reference).c_str());
    if (old == INVALID_FILE_ATTRIBUTES)
        return failed(false, reference + QStringLiteral(": ") + systemText());
    // The descriptor may be open for writing only, which may neither read nor set attributes; a
    // handle of its own may do both.
    const HANDLE file = handleOf(descriptor);
    const HANDLE attributes =
        file == INVALID_HANDLE_VALUE
            ? INVALID_HANDLE_VALUE
            : ReOpenFile(file, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
    if (attributes == INVALID_HANDLE_VALUE)
        return failed(false, QStringLiteral("attributes: ") + systemText());
    FILE_BASIC_INFO basic;
    bool done = GetFileInformationByHandleEx(attributes, FileBasicInfo, &basic, sizeof basic);
    const DWORD wanted = (basic.FileAttributes & ~kept) | (old & kept);
    if (done && wanted != basic.FileAttributes) {
        // Times of zero are left as they are; NORMAL stands for no attribute at all.
        basic.CreationTime.QuadPart = 0;
        basic.LastAccessTime.QuadPart = 0;
        basic.LastWriteTime.QuadPart = 0;
        basic.ChangeTime.QuadPart = 0;
        basic.FileAttributes = wanted ? wanted : FILE_ATTRIBUTE_NORMAL;
        done = SetFileInformationByHandle(attributes, FileBasicInfo, &basic, sizeof basic);
    }
    if (!done)
        failed(false, QStringLiteral("attributes: ") + systemText());
    CloseHandle(attributes);
    return done;
}

bool takeOwnerAndMode(const QString &reference, const QString &path)
{
    const int fd = _wopen(nativePath(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
    if (fd < 0)
        return failed(false, path + QStringLiteral(": ") + errnoText());
    const bool taken = takeOwnerAndMode(reference, fd);
    _close(fd);
    return taken;
}

bool takeOwner(const QString &folder, const QString &path)
{
    // Nothing to give away: what is made in a folder takes the folder's inheritable access list,
    // which is what decides who may use it on Windows.
    Q_UNUSED(folder);
    Q_UNUSED(path);
    return true;
}

QStringList lookUpHost(const QByteArray &asciiName)
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        return failed(QStringList(), QStringLiteral("Windows sockets could not be started"));
    addrinfoW hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfoW *found = nullptr;
    const std::wstring name = QString::fromLatin1(asciiName).toStdWString();
    const int code = GetAddrInfoW(name.c_str(), nullptr, &hints, &found);
    if (code != 0)
        return failed(QStringList(), systemText(DWORD(code)));
    QStringList addresses;
    for (const addrinfoW *entry = found; entry; entry = entry->ai_next) {
        wchar_t text[NI_MAXHOST];
        if (GetNameInfoW(entry->ai_addr, socklen_t(entry->ai_addrlen), text, NI_MAXHOST, nullptr, 0,
                         NI_NUMERICHOST) == 0) {
            const QString address = QString::fromWCharArray(text);
            if (!addresses.contains(address))
                addresses << address;
        }
    }
    FreeAddrInfoW(found);
    return addresses;
}

} // namespace Platform
