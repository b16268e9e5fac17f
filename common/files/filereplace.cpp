#include "common/files/filereplace.h"

#include <filesystem>
#include <system_error>

#include <QDir>
#include <QFileInfo>

#include "common/files/platform.h"

bool FileReplace::renameOver(const QString &source, const QString &target, FolderSync sync)
{
    clearError();
    const std::filesystem::path to(QFile::encodeName(target).toStdString());
    std::error_code ec;
    std::filesystem::rename(std::filesystem::path(QFile::encodeName(source).toStdString()), to, ec);
    if (ec)
        return failBecause(QString::fromStdString(ec.message()));
    // The new name lives in the folder's entries: until they reach the disk, a power cut can
    // bring the old file back although the caller has gone on to record the new version.
    if (sync == FolderSync::Now)
        Platform::syncFolder(QFileInfo(target).path());
    return true;
}

bool FileReplace::moveOver(const QString &source, const QString &target)
{
    m_renameFailed = false;
    clearError();
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly))
        return failBecause(file.errorString());
    if (QFileInfo::exists(target) && !Platform::takeOwnerAndMode(target, file.handle()))
        return failBecause(Platform::errorString());
    if (!Platform::syncFile(file.handle()))
        return failBecause(
            QStringLiteral("can not sync %1: %2").arg(source, Platform::errorString()));
    file.close();
    m_renameFailed = !renameOver(source, target);
    return !m_renameFailed;
}

FileReplace::PartFile::PartFile(const QString &target) : m_target(target), m_file(partPath(target))
{}

FileReplace::PartFile::~PartFile()
{
    if (!m_committed) {
        m_file.close();
        QFile::remove(m_file.fileName());
    }
    QDir().rmdir(QFileInfo(m_file.fileName()).path()); // only when empty
}

QString FileReplace::PartFile::partPath(const QString &target)
{
    const QFileInfo info(target);
    return info.path() + QLatin1Char('/') + scratchFolderName() + QLatin1Char('/') +
           info.fileName() + QStringLiteral(".part");
}

bool FileReplace::PartFile::open()
{
    // Anything but a real folder under the reserved name (a link planted there, a file) goes, so
    // that the part is never written through a link. Removing the part first takes away a stale
    // one and any link under its name; creating with NewOnly then refuses one that appears in
    // between.
    const QString folder = QFileInfo(m_file.fileName()).path();
    const QFileInfo scratch(folder);
    if (scratch.isSymLink() || (scratch.exists() && !scratch.isDir()))
        QFile::remove(folder);
    if (!QDir().mkpath(folder))
        return failBecause(QStringLiteral("can not make %1").arg(folder));
    QFile::remove(m_file.fileName());
    return m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
           failBecause(m_file.errorString());
}

bool FileReplace::PartFile::commit(bool durable)
{
    if (!m_file.flush() || (durable && !Platform::syncFile(m_file.handle())))
        return failBecause(m_file.errorString());
    m_file.close();
    if (m_file.error() != QFileDevice::NoError)
        return failBecause(m_file.errorString());
    FileReplace rename;
    if (!rename.renameOver(m_file.fileName(), m_target))
        return failBecause(rename.errorString());
    m_committed = true;
    return true;
}
