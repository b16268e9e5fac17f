#pragma once

// What the Windows side of the platform layer shares between its files.

// winsock2.h before windows.h, which would otherwise bring the old winsock.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <string>

#include <QByteArray>
#include <QString>

#include "common/files/platform.h"

namespace Platform::Windows {

inline constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A held folder is listed and passed through; nobody may rename or remove it meanwhile.
inline constexpr DWORD folderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
inline constexpr DWORD folderShare = FILE_SHARE_READ | FILE_SHARE_WRITE;
inline constexpr DWORD asItself = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// The system's words for an error code.
QString systemText(DWORD code = GetLastError());
// A name as the wide API takes it.
std::wstring wide(const QString &text);

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

HANDLE handleOf(int descriptor);
HANDLE openPath(const QString &native, DWORD access, DWORD share, DWORD disposition, DWORD flags);
// The C runtime's descriptor for handle, which it closes from then on; -1 (handle closed) when
// it has none left.
int descriptorFor(HANDLE handle, int flags);
bool isAbsent(DWORD code);
// The long form of a path (\\?\C:\...), which Windows takes whatever its length and exactly as
// written, and the form Qt and SQLite take (C:/dir, //server/share/dir).
QString longForm(const QString &path);
QString qtForm(const QString &longPath);
// Where the handle's file or folder is now, every link on the way resolved; empty when the
// system can not tell.
QString finalPath(HANDLE handle);
FileInfo infoFrom(const BY_HANDLE_FILE_INFORMATION &data);
FileInfo infoOfHandle(HANDLE handle);
DWORD attributesOf(HANDLE handle);
bool setAttributes(HANDLE handle, DWORD attributes);
// The read-only attribute as the write bits of permissions say; folders have none that counts.
bool setReadOnly(HANDLE handle, quint32 permissions);
// The attributes a new file is made with, read-only where permissions give no write bit.
DWORD newFileAttributes(quint32 permissions);
// The access list of an open file, as a self-relative security descriptor, and the same given to
// another file exactly as it is.
QByteArray securityOf(HANDLE handle);
bool giveSecurity(HANDLE writeDac, const QByteArray &descriptor);
// Removes the file or folder of handle (opened with DELETE), a read-only one as well; a folder
// must be empty.
bool deleteByHandle(HANDLE handle);

// The SID of the account the process runs as, as text.
QString currentUser();
// An account whose writing a folder's users have to trust anyway.
bool isTrusted(PSID sid);

// A security descriptor that lets the current user, and nobody else, use a folder and whatever
// is made in it.
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

} // namespace Platform::Windows
