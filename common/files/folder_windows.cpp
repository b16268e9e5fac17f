// The Windows side of a Folder: opening it, looking into it, making folders, files and links in
// it. A Folder is a directory handle held without FILE_SHARE_DELETE, and every name in it is
// reached by the held folder's long path (see platform_windows.cpp).

#include <fcntl.h>
#include <io.h>

#include <QDir>

#include "common/files/platform.h"
#include "common/files/windows_internal.h"
#include "common/files/windowsnames.h"

namespace Platform {

using namespace Windows;

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
        return failBecause(
            QStringLiteral("\"%1\" is not a name in a folder: it %2").arg(name, problem));
    return true;
}

bool Folder::open(const QString &path)
{
    close();
    clearError();
    m_path = path;
    const QString native = longForm(path);
    Handle handle(
        openPath(native, folderAccess, folderShare, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
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
    const HANDLE find =
        FindFirstFileExW(wide(m_native + QStringLiteral("\\*")).c_str(), FindExInfoBasic, &found,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
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
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString name = withRandomSuffix(prefix);
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
                           newFileAttributes(permissions) | FILE_FLAG_OPEN_REPARSE_POINT));
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
                           newFileAttributes(permissions) | FILE_FLAG_OPEN_REPARSE_POINT));
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

} // namespace Platform
