#include "common/filereplace.h"

#include <filesystem>
#include <system_error>

#include <QDir>
#include <QFileInfo>

#include "common/failure.h"
#include "common/platform.h"

namespace FileReplace {

bool renameOver(const QString &source, const QString &target, QString *error, bool syncFolder)
{
    const std::filesystem::path to(QFile::encodeName(target).toStdString());
    std::error_code ec;
    std::filesystem::rename(std::filesystem::path(QFile::encodeName(source).toStdString()), to, ec);
    if (ec)
        return fail(error, QString::fromStdString(ec.message()));
    // The new name lives in the folder's entries: until they reach the disk, a power cut can
    // bring the old file back although the caller has gone on to record the new version.
    if (syncFolder)
        Platform::syncFolder(QFileInfo(target).path());
    return true;
}

PartFile::PartFile(const QString &target) : m_target(target), m_file(partPath(target)) {}

PartFile::~PartFile()
{
    if (!m_committed) {
        m_file.close();
        QFile::remove(m_file.fileName());
    }
    QDir().rmdir(QFileInfo(m_file.fileName()).path()); // only when empty
}

QString PartFile::partPath(const QString &target)
{
    const QFileInfo info(target);
    return info.path() + QLatin1Char('/') + scratchFolderName() + QLatin1Char('/') +
           info.fileName() + QStringLiteral(".part");
}

bool PartFile::open()
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
        return false;
    QFile::remove(m_file.fileName());
    return m_file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
}

bool PartFile::commit(bool durable, QString *error, bool *renameFailed)
{
    if (renameFailed)
        *renameFailed = false;
    if (!m_file.flush() || (durable && !Platform::syncFile(m_file.handle())))
        return fail(error, m_file.errorString());
    m_file.close();
    if (m_file.error() != QFileDevice::NoError)
        return fail(error, m_file.errorString());
    if (!renameOver(m_file.fileName(), m_target, error)) {
        if (renameFailed)
            *renameFailed = true;
        return false;
    }
    m_committed = true;
    return true;
}

bool moveOver(const QString &source, const QString &target, bool *renameFailed, QString *error)
{
    if (renameFailed)
        *renameFailed = false;
    QFile file(source);
    if (!file.open(QIODevice::ReadOnly))
        return fail(error, file.errorString());
    QString why;
    if (QFileInfo::exists(target) && !Platform::takeOwnerAndMode(target, file.handle(), &why))
        return fail(error, why);
    if (!Platform::syncFile(file.handle()))
        return fail(error, QStringLiteral("can not sync %1").arg(source));
    file.close();
    if (!renameOver(source, target, error)) {
        if (renameFailed)
            *renameFailed = true;
        return false;
    }
    return true;
}

bool copyOver(const QString &source, const QString &target, bool *renameFailed, QString *error)
{
    if (renameFailed)
        *renameFailed = false;

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly))
        return fail(error, in.errorString());
    PartFile out(target);
    if (!out.open())
        return fail(error, out.file().errorString());

    constexpr qint64 chunkSize = 1 << 20;
    QByteArray buffer(chunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(buffer.data(), chunkSize);
        if (n < 0)
            return fail(error, in.errorString());
        if (n == 0)
            break;
        if (out.file().write(buffer.constData(), n) != n)
            return fail(error, out.file().errorString());
    }
    out.file().setPermissions(in.permissions());
    return out.commit(true, error, renameFailed);
}

} // namespace FileReplace
