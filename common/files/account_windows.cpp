// The accounts and access lists of the Windows side, and what else the system answers: whether
// the updater runs elevated, a name's long form on the disk, a host's addresses.

#include "common/files/platform.h"
#include "common/files/windows_internal.h"

namespace Platform {

namespace Windows {

namespace {

QString sidText(PSID sid)
{
    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return QString();
    const QString result = QString::fromWCharArray(text);
    LocalFree(text);
    return result;
}

} // namespace

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
    static const QString trustedInstaller =
        QStringLiteral("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
    if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
        IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinCreatorOwnerRightsSid))
        return true;
    const QString text = sidText(sid);
    return !text.isEmpty() && (text == user || text == trustedInstaller);
}

// A security descriptor that lets the current user, and nobody else, use a folder and whatever
// is made in it (OICI); P keeps the entries of the folder above out.
PrivateDescriptor::PrivateDescriptor()
{
    const QString user = currentUser();
    if (user.isEmpty())
        return;
    const std::wstring sddl = wide(QStringLiteral("O:%1D:P(A;OICI;FA;;;%1)").arg(user));
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &m_descriptor, nullptr))
        m_descriptor = nullptr;
}

PrivateDescriptor::~PrivateDescriptor()
{
    if (m_descriptor)
        LocalFree(m_descriptor);
}

} // namespace Windows

using namespace Windows;

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
    const int code =
        GetAddrInfoW(wide(QString::fromLatin1(asciiName)).c_str(), nullptr, &hints, &found);
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
