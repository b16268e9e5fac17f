#include "common/zip/zipextract.h"

#include <memory>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <zip.h>

#include "common/files/filereplace.h"
#include "common/files/platform.h"
#include "common/files/untrustedfile.h"
#include "common/logging.h"
#include "common/zip/unixmode.h"

namespace Zip {

namespace {

constexpr qint64 chunkSize = 256 * 1024;
constexpr quint32 defaultFolderMode = 0755;

struct ArchiveCloser
{
    void operator()(zip_t *archive) const { zip_discard(archive); }
};
using ArchivePtr = std::unique_ptr<zip_t, ArchiveCloser>;

struct EntryCloser
{
    void operator()(zip_file_t *file) const { zip_fclose(file); }
};
using EntryPtr = std::unique_ptr<zip_file_t, EntryCloser>;

// Why libzip can not give an entry's data, in words a support log can use.
QString unreadable(zip_t *archive, const Entry &entry)
{
    switch (zip_error_code_zip(zip_get_error(archive))) {
    case ZIP_ER_NOPASSWD:
    case ZIP_ER_WRONGPASSWD:
    case ZIP_ER_ENCRNOTSUPP:
        return QStringLiteral("entry \"%1\" is encrypted").arg(entry.name);
    case ZIP_ER_COMPNOTSUPP:
        return QStringLiteral("entry \"%1\" is compressed with a method this updater can not "
                              "read")
            .arg(entry.name);
    default:
        return QStringLiteral("Can not read entry \"%1\": %2")
            .arg(entry.name, QString::fromUtf8(zip_strerror(archive)));
    }
}

bool insideFolder(const QString &canonicalFolder, const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return !canonical.isEmpty() && (canonical == canonicalFolder ||
                                    canonical.startsWith(canonicalFolder + QLatin1Char('/')));
}

// Creates folder and its missing parents, but only when everything that already exists on the
// way leads to a place inside the target: an existing link may point anywhere. Folders made
// here get mode and, when the updater may choose, the owner of the folder they are made in.
bool makeFolderInside(const QString &canonicalTarget, const QString &folder, quint32 mode,
                      QStringList *touched)
{
    QString existing = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    QStringList missing;
    while (!QFileInfo::exists(existing) && existing != QFileInfo(existing).path()) {
        missing.prepend(existing);
        existing = QFileInfo(existing).path();
    }
    if (!insideFolder(canonicalTarget, existing))
        return false;
    for (const QString &made : std::as_const(missing)) {
        const QString parent = QFileInfo(made).path();
        if (!QDir().mkdir(made) || !QFile::setPermissions(made, UnixMode::toPermissions(mode)))
            return false;
        Platform::takeOwner(parent, made);
        touched->append(parent);
    }
    return insideFolder(canonicalTarget, folder);
}

// A link of the package in place of whatever file or link stood there.
bool makeLink(const Entry &entry, const QString &path)
{
    const QFileInfo existing(path);
    if (existing.isSymLink() || existing.isFile())
        QFile::remove(path);
    return QFile::link(entry.linkTarget, path);
}

// The package's own scratch folder at the top of the target, made anew: whatever stood under
// the reserved name (a killed run's staged files, a link planted there) goes first.
QString makeScratchFolder(const QString &target)
{
    const QString scratch = target + QLatin1Char('/') + FileReplace::PartFile::scratchFolderName();
    const QFileInfo info(scratch);
    if (info.isSymLink() || (info.exists() && !info.isDir()))
        QFile::remove(scratch);
    else if (info.exists())
        QDir(scratch).removeRecursively();
    return QDir().mkdir(scratch) &&
                   QFile::setPermissions(scratch, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                      QFileDevice::ExeOwner)
               ? scratch
               : QString();
}

} // namespace

// The data of one file entry, decompressed and checked, in a file of the scratch folder.
bool Extractor::stageFile(zip_t *archive, const Entry &entry, const QString &staged)
{
    QFile out(staged);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return failBecause(
            QStringLiteral("Can not stage \"%1\": %2").arg(entry.name, out.errorString()));
    EntryPtr file(zip_fopen_index(archive, entry.index, 0));
    if (!file)
        return failBecause(unreadable(archive, entry));
    QByteArray buffer(chunkSize, Qt::Uninitialized);
    qint64 written = 0;
    for (;;) {
        const zip_int64_t n = zip_fread(file.get(), buffer.data(), chunkSize);
        if (n < 0)
            return failBecause(
                QStringLiteral("Damaged entry \"%1\": %2")
                    .arg(entry.name, QString::fromUtf8(zip_file_strerror(file.get()))));
        if (n == 0)
            break;
        // The free space was checked against the declared sizes, and the reader does not hold
        // an entry to its declared size: a few bytes that claim ten may inflate to gigabytes.
        written += n;
        if (written > entry.size)
            return failBecause(QStringLiteral("Damaged entry \"%1\": more data than the "
                                              "%2 bytes declared")
                                   .arg(entry.name)
                                   .arg(entry.size));
        if (out.write(buffer.constData(), n) != n)
            return failBecause(
                QStringLiteral("Can not stage \"%1\": %2").arg(entry.name, out.errorString()));
    }
    if (!out.setPermissions(UnixMode::toPermissions(entry.mode)) || !out.flush())
        return failBecause(
            QStringLiteral("Can not stage \"%1\": %2").arg(entry.name, out.errorString()));
    return true;
}

// The second phase: every file is staged and on the disk; folders, links and files take their
// places, and each folder that changed is synced once.
bool Extractor::install(const std::vector<Entry> &entries, const QString &canonicalTarget,
                        const QString &scratch)
{
    const QDir base(m_target);
    QStringList touched;
    auto parentInside = [&](const QString &path) {
        return makeFolderInside(canonicalTarget, QFileInfo(path).absolutePath(), defaultFolderMode,
                                &touched);
    };
    for (const Entry &entry : entries) {
        if (entry.kind != Kind::Folder)
            continue;
        const QString path = base.filePath(entry.name);
        if (!makeFolderInside(canonicalTarget, path, entry.mode, &touched))
            return failBecause(QStringLiteral("Can not create folder \"%1\"").arg(path));
    }
    for (const Entry &entry : entries) {
        if (entry.kind != Kind::Link)
            continue;
        const QString path = base.filePath(entry.name);
        if (!parentInside(path))
            return failBecause(QStringLiteral("\"%1\" lies outside the target folder").arg(path));
        if (!makeLink(entry, path))
            return failBecause(QStringLiteral("Can not make link \"%1\"").arg(path));
        touched << QFileInfo(path).absolutePath();
    }
    int n = 0;
    for (const Entry &entry : entries) {
        if (entry.kind != Kind::File)
            continue;
        const QString staged = scratch + QLatin1Char('/') + QString::number(n++);
        const QString path = base.filePath(entry.name);
        if (!parentInside(path))
            return failBecause(QStringLiteral("\"%1\" lies outside the target folder").arg(path));
        // A file that is replaced keeps its owner, group and mode; a new one has the package's
        // mode and the owner of its folder.
        const QFileInfo old(path);
        const bool replaces = old.isFile() && !old.isSymLink();
        if (!(replaces ? Platform::takeOwnerAndMode(path, staged)
                       : Platform::takeOwner(old.absolutePath(), staged)))
            return failBecause(
                QStringLiteral("Can not install \"%1\": %2").arg(path, Platform::errorString()));
        FileReplace rename;
        if (!rename.renameOver(staged, path, FileReplace::FolderSync::Later))
            return failBecause(
                QStringLiteral("Can not install \"%1\": %2").arg(path, rename.errorString()));
        touched << old.absolutePath();
        m_written.append(entry.name);
    }
    touched.removeDuplicates();
    for (const QString &folder : std::as_const(touched))
        if (m_durability == Durability::Synced)
            Platform::syncFolder(folder);
    return true;
}

bool Extractor::extractAll(const QString &archivePath)
{
    m_written.clear();
    UntrustedFile archive;
    switch (archive.open(archivePath)) {
    case UntrustedFile::Outcome::Absent:
        qCDebug(lcZip).noquote() << "No package" << archivePath;
        clearError();
        return true;
    case UntrustedFile::Outcome::Unreadable:
    case UntrustedFile::Outcome::Refused:
        return failBecause(
            QStringLiteral("Can not open \"%1\": %2").arg(archivePath, archive.errorString()));
    case UntrustedFile::Outcome::Taken:
        break;
    }
    return extractAll(*archive.file());
}

bool Extractor::extractAll(QFile &archiveFile)
{
    clearError();
    m_written.clear();
    // A file taken through its descriptor has no name of its own.
    const QString archiveName =
        archiveFile.fileName().isEmpty() ? QStringLiteral("The package") : archiveFile.fileName();
    // The reader gets a descriptor of its own on the file already open, never the name again:
    // what was checked through this file is what is unpacked.
    const int fd = Platform::duplicateFromStart(archiveFile.handle());
    if (fd < 0)
        return failBecause(QStringLiteral("Can not read \"%1\"").arg(archiveName));
    int openError = 0;
    ArchivePtr archive(zip_fdopen(fd, ZIP_RDONLY, &openError));
    if (!archive) {
        Platform::closeDescriptor(fd);
        return failBecause(QStringLiteral("%1 is damaged or not a ZIP archive").arg(archiveName));
    }
    const QString canonicalTarget = QFileInfo(m_target).canonicalFilePath();
    if (canonicalTarget.isEmpty())
        return failBecause(QStringLiteral("No folder \"%1\"").arg(m_target));
    PackageCheck check(canonicalTarget);
    if (!check.check(archive.get(), archiveName))
        return failBecause(check.errorString());
    return write(archive.get(), check.entries(), canonicalTarget, archiveName);
}

bool Extractor::write(zip_t *archive, const std::vector<Entry> &entries,
                      const QString &canonicalTarget, const QString &archiveName)
{
    // First every file, decompressed and checked, in the scratch folder: a package that fails
    // here leaves the installation exactly as it was.
    const QString scratch = makeScratchFolder(canonicalTarget);
    if (scratch.isEmpty())
        return failBecause(
            QStringLiteral("Can not make the scratch folder in \"%1\"").arg(canonicalTarget));
    struct Cleanup
    {
        QString folder;
        ~Cleanup() { QDir(folder).removeRecursively(); }
    } cleanup{scratch};
    int n = 0;
    for (const Entry &entry : entries) {
        if (entry.kind == Kind::File &&
            !stageFile(archive, entry, scratch + QLatin1Char('/') + QString::number(n++)))
            return false;
    }
    // Then all of it on the disk at once, before any file takes its place.
    if (m_durability == Durability::Synced && n > 0 && !Platform::syncFileSystem(scratch))
        return failBecause(
            QStringLiteral("Can not put the files of %1 on the disk").arg(archiveName));
    return install(entries, canonicalTarget, scratch);
}

} // namespace Zip
