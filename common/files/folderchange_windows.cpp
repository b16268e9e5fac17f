// The Windows side of a Folder's changes: renaming and removing in it, flushing it, locking it.

#include <fcntl.h>
#include <io.h>

#include <QElapsedTimer>
#include <QThread>

#include "common/files/platform.h"
#include "common/files/windows_internal.h"
#include "common/files/windowsnames.h"

namespace Platform {

using namespace Windows;

namespace {

// Removes name in the folder at native and everything below it, never entering a reparse point.
// Each folder is held while it is emptied, so that it can not be swapped meanwhile.
bool removeTreeAt(const QString &native, const QString &name, QString *why)
{
    const QString path = native + QLatin1Char('\\') + name;
    Handle handle(openPath(path,
                           DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
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
    const HANDLE find =
        FindFirstFileExW(wide(native + QStringLiteral("\\*")).c_str(), FindExInfoBasic, &found,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
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
        Handle file(
            openPath(path, GENERIC_WRITE, shareAll, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT));
        if (!file.isValid() || !FlushFileBuffers(file.get())) {
            *why = entry + QStringLiteral(": ") + systemText();
            flushed = false;
        }
    } while (FindNextFileW(find, &found));
    FindClose(find);
    return flushed;
}

bool isProgram(const QString &name)
{
    return name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive);
}

} // namespace

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
            if (wasReadOnly &&
                !setAttributes(standing.get(), attributes & ~DWORD(FILE_ATTRIBUTE_READONLY)))
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
                setAttributes(standing.get(),
                              attributesOf(standing.get()) | FILE_ATTRIBUTE_READONLY);
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
    const QString id =
        QStringLiteral("KestrelixUpdaterFolder-%1-%2").arg(own.device, 0, 16).arg(own.inode, 0, 16);
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
    Handle probe(
        openPath(m_native + QLatin1Char('\\') + name, DELETE, shareAll, OPEN_EXISTING, asItself));
    return !probe.isValid() && GetLastError() == ERROR_SHARING_VIOLATION;
}

} // namespace Platform
