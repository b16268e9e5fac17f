#include "common/zipextract.h"

#include <limits.h>
#include <memory>
#include <vector>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStorageInfo>

#include <zip.h>

#include "common/failure.h"
#include "common/filereplace.h"
#include "common/logging.h"
#include "common/platform.h"
#include "common/unixmode.h"
#include "common/untrustedfile.h"
#include "common/zipsafety.h"

namespace Zip {

namespace {

constexpr qint64 chunkSize = 256 * 1024;
constexpr quint32 defaultFileMode = 0644;
constexpr quint32 defaultFolderMode = 0755;
// Set-user-id, set-group-id and sticky bits never come from a package: installed by root, an
// entry marked 04755 would otherwise run as root for whoever starts it.
constexpr quint32 permissionBits = UnixMode::permissionBits;
constexpr qsizetype longestName = NAME_MAX;
constexpr qsizetype longestPath = PATH_MAX - 1;

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

bool readWhole(zip_t *archive, const Entry &entry, QByteArray *data)
{
    EntryPtr file(zip_fopen_index(archive, entry.index, 0));
    if (!file)
        return false;
    data->clear();
    QByteArray buffer(chunkSize, Qt::Uninitialized);
    for (;;) {
        const zip_int64_t n = zip_fread(file.get(), buffer.data(), chunkSize);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        data->append(buffer.constData(), n);
        if (data->size() > 4096) // a link target, never more
            return false;
    }
}

// Names are normalised once, here: Windows tools write "docs\" for a folder and "docs\a.txt"
// for a file in it.
bool listEntries(zip_t *archive, std::vector<Entry> *entries, QString *error)
{
    QSet<QString> seen;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive, zip_uint64_t(i), 0, &st) != 0 || !st.name)
            return fail(error, QStringLiteral("Unreadable entry %1").arg(i));
        Entry entry;
        entry.index = zip_uint64_t(i);
        entry.name = QString::fromUtf8(st.name).replace(QLatin1Char('\\'), QLatin1Char('/'));
        entry.size = (st.valid & ZIP_STAT_SIZE) ? qint64(st.size) : 0;

        zip_uint8_t opsys = 0;
        zip_uint32_t attributes = 0;
        bool hasMode = false;
        quint32 mode = 0;
        if (zip_file_get_external_attributes(archive, entry.index, 0, &opsys, &attributes) == 0 &&
            opsys == ZIP_OPSYS_UNIX) {
            mode = attributes >> 16;
            hasMode = mode != 0;
        }

        if (entry.name.endsWith(QLatin1Char('/'))) {
            entry.kind = Kind::Folder;
            entry.mode = hasMode ? (mode & permissionBits) : defaultFolderMode;
        } else if (hasMode && UnixMode::isLink(mode)) {
            entry.kind = Kind::Link;
        } else {
            entry.kind = Kind::File;
            entry.mode = hasMode ? (mode & permissionBits) : defaultFileMode;
        }

        if (entry.name.isEmpty() || escapesFolder(entry.name))
            return fail(
                error,
                QStringLiteral("entry \"%1\" lies outside the target folder").arg(entry.name));
        if (isReservedName(entry.name))
            return fail(error,
                        QStringLiteral("entry \"%1\" takes a name reserved for the updater's own "
                                       "files")
                            .arg(entry.name));
        while (entry.name.endsWith(QLatin1Char('/')))
            entry.name.chop(1);
        entry.name = QDir::cleanPath(entry.name);
        // Two entries for one path leave it to chance which one lands: refuse the package.
        if (seen.contains(entry.name))
            return fail(error, QStringLiteral("entry \"%1\" appears twice").arg(entry.name));
        seen.insert(entry.name);
        if (entry.kind == Kind::Link) {
            QByteArray target;
            if (!readWhole(archive, entry, &target))
                return fail(error, QStringLiteral("Can not read link \"%1\"").arg(entry.name));
            entry.linkTarget = QFile::decodeName(target);
            if (entry.linkTarget.isEmpty())
                return fail(error, QStringLiteral("Link \"%1\" is empty").arg(entry.name));
            if (linkEscapes(entry.name, entry.linkTarget))
                return fail(
                    error,
                    QStringLiteral("link \"%1\" leads outside the target folder").arg(entry.name));
        }
        entries->push_back(entry);
    }
    return true;
}

bool insideFolder(const QString &canonicalFolder, const QString &path)
{
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return !canonical.isEmpty() && (canonical == canonicalFolder ||
                                    canonical.startsWith(canonicalFolder + QLatin1Char('/')));
}

// What stands where an entry needs a folder or a file, found before anything is written: on
// disk, a file where the package needs a folder or a folder where it puts a file; in the
// package, a file that another entry needs as a folder; and names the file system can not take.
bool placesAreFree(const std::vector<Entry> &entries, const QString &canonicalTarget,
                   QString *error)
{
    QHash<QString, Kind> kinds;
    for (const Entry &entry : entries)
        kinds.insert(entry.name, entry.kind);
    for (const Entry &entry : entries) {
        const QString absolute = canonicalTarget + QLatin1Char('/') + entry.name;
        if (QFile::encodeName(absolute).size() > longestPath)
            return fail(error, QStringLiteral("entry \"%1\": the path is too long for the file "
                                              "system")
                                   .arg(entry.name));
        const QStringList parts = entry.name.split(QLatin1Char('/'));
        QString prefix;
        for (qsizetype i = 0; i < parts.size(); ++i) {
            if (QFile::encodeName(parts.at(i)).size() > longestName)
                return fail(error, QStringLiteral("entry \"%1\": the name \"%2\" is too long for "
                                                  "the file system")
                                       .arg(entry.name, parts.at(i)));
            prefix += (i ? QStringLiteral("/") : QString()) + parts.at(i);
            const bool last = i == parts.size() - 1;
            if (!last && kinds.value(prefix, Kind::Folder) == Kind::File)
                return fail(error, QStringLiteral("entry \"%1\" is a file, and entry \"%2\" needs "
                                                  "it as a folder")
                                       .arg(prefix, entry.name));
            if (kinds.value(prefix, Kind::Folder) == Kind::Link)
                break; // where a link of the package leads was checked with the links
            const QFileInfo onDisk(canonicalTarget + QLatin1Char('/') + prefix);
            if (!onDisk.exists() || onDisk.isSymLink())
                continue;
            const bool wantsFolder = !last || entry.kind == Kind::Folder;
            if (wantsFolder && !onDisk.isDir())
                return fail(error, QStringLiteral("\"%1\" is a file, and entry \"%2\" needs a "
                                                  "folder there")
                                       .arg(prefix, entry.name));
            if (last && entry.kind == Kind::File && onDisk.isDir())
                return fail(error, QStringLiteral("\"%1\" is a folder, and entry \"%2\" is a file")
                                       .arg(prefix, entry.name));
        }
    }
    return true;
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

// The data of one file entry, decompressed and checked, in a file of the scratch folder.
bool stageFile(zip_t *archive, const Entry &entry, const QString &staged, QString *error)
{
    QFile out(staged);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return fail(error,
                    QStringLiteral("Can not stage \"%1\": %2").arg(entry.name, out.errorString()));
    EntryPtr file(zip_fopen_index(archive, entry.index, 0));
    if (!file)
        return fail(error, unreadable(archive, entry));
    QByteArray buffer(chunkSize, Qt::Uninitialized);
    qint64 written = 0;
    for (;;) {
        const zip_int64_t n = zip_fread(file.get(), buffer.data(), chunkSize);
        if (n < 0)
            return fail(error,
                        QStringLiteral("Damaged entry \"%1\": %2")
                            .arg(entry.name, QString::fromUtf8(zip_file_strerror(file.get()))));
        if (n == 0)
            break;
        // The free space was checked against the declared sizes, and the reader does not hold
        // an entry to its declared size: a few bytes that claim ten may inflate to gigabytes.
        written += n;
        if (written > entry.size)
            return fail(error, QStringLiteral("Damaged entry \"%1\": more data than the "
                                              "%2 bytes declared")
                                   .arg(entry.name)
                                   .arg(entry.size));
        if (out.write(buffer.constData(), n) != n)
            return fail(
                error,
                QStringLiteral("Can not stage \"%1\": %2").arg(entry.name, out.errorString()));
    }
    if (!out.setPermissions(UnixMode::toPermissions(entry.mode)) || !out.flush())
        return fail(error,
                    QStringLiteral("Can not stage \"%1\": %2").arg(entry.name, out.errorString()));
    return true;
}

bool makeLink(const Entry &entry, const QString &path, QString *error)
{
    const QFileInfo existing(path);
    if (existing.isSymLink() || existing.isFile())
        QFile::remove(path);
    if (!QFile::link(entry.linkTarget, path))
        return fail(error, QStringLiteral("Can not make link \"%1\"").arg(path));
    return true;
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

// The second phase: every file is staged and on the disk; folders, links and files take their
// places, and each folder that changed is synced once.
bool install(const std::vector<Entry> &entries, const QString &targetFolder,
             const QString &canonicalTarget, const QString &scratch, bool synced, QString *error,
             QStringList *writtenFiles)
{
    const QDir base(targetFolder);
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
            return fail(error, QStringLiteral("Can not create folder \"%1\"").arg(path));
    }
    for (const Entry &entry : entries) {
        if (entry.kind != Kind::Link)
            continue;
        const QString path = base.filePath(entry.name);
        if (!parentInside(path))
            return fail(error, QStringLiteral("\"%1\" lies outside the target folder").arg(path));
        if (!makeLink(entry, path, error))
            return false;
        touched << QFileInfo(path).absolutePath();
    }
    int n = 0;
    for (const Entry &entry : entries) {
        if (entry.kind != Kind::File)
            continue;
        const QString staged = scratch + QLatin1Char('/') + QString::number(n++);
        const QString path = base.filePath(entry.name);
        if (!parentInside(path))
            return fail(error, QStringLiteral("\"%1\" lies outside the target folder").arg(path));
        // A file that is replaced keeps its owner, group and mode; a new one has the package's
        // mode and the owner of its folder.
        QString why;
        const QFileInfo old(path);
        const bool replaces = old.isFile() && !old.isSymLink();
        if (!(replaces ? Platform::takeOwnerAndMode(path, staged, &why)
                       : Platform::takeOwner(old.absolutePath(), staged)))
            return fail(error, QStringLiteral("Can not install \"%1\": %2").arg(path, why));
        if (!FileReplace::renameOver(staged, path, &why, false))
            return fail(error, QStringLiteral("Can not install \"%1\": %2").arg(path, why));
        touched << old.absolutePath();
        if (writtenFiles)
            writtenFiles->append(entry.name);
    }
    touched.removeDuplicates();
    for (const QString &folder : std::as_const(touched))
        if (synced)
            Platform::syncFolder(folder);
    return true;
}

} // namespace

bool extractAll(const QString &archivePath, const QString &targetFolder, QString *error,
                QStringList *writtenFiles)
{
    std::shared_ptr<QFile> archive;
    QString why;
    switch (UntrustedFile::open(archivePath, &archive, &why)) {
    case UntrustedFile::Outcome::Absent:
        qCDebug(lcZip).noquote() << "No package" << archivePath;
        return true;
    case UntrustedFile::Outcome::Unreadable:
    case UntrustedFile::Outcome::Refused:
        return fail(error, QStringLiteral("Can not open \"%1\": %2").arg(archivePath, why));
    case UntrustedFile::Outcome::Taken:
        break;
    }
    return extractAll(*archive, targetFolder, error, writtenFiles);
}

bool extractAll(QFile &archiveFile, const QString &targetFolder, QString *error,
                QStringList *writtenFiles, Durability durability)
{
    // A file taken through its descriptor has no name of its own.
    const QString archivePath =
        archiveFile.fileName().isEmpty() ? QStringLiteral("The package") : archiveFile.fileName();
    // The reader gets a descriptor of its own on the file already open, never the name again:
    // what was checked through this file is what is unpacked.
    const int fd = Platform::duplicateFromStart(archiveFile.handle());
    if (fd < 0) {
        return fail(error, QStringLiteral("Can not read \"%1\"").arg(archivePath));
    }
    int openError = 0;
    ArchivePtr archive(zip_fdopen(fd, ZIP_RDONLY, &openError));
    if (!archive) {
        Platform::closeDescriptor(fd);
        return fail(error, QStringLiteral("%1 is damaged or not a ZIP archive").arg(archivePath));
    }

    std::vector<Entry> entries;
    if (!listEntries(archive.get(), &entries, error))
        return false;

    qint64 needed = 0;
    for (const Entry &entry : entries)
        if (entry.kind == Kind::File)
            needed += entry.size;
    const QString canonicalTarget = QFileInfo(targetFolder).canonicalFilePath();
    if (canonicalTarget.isEmpty())
        return fail(error, QStringLiteral("No folder \"%1\"").arg(targetFolder));
    if (!entriesStayInside(entries, canonicalTarget, error) ||
        !placesAreFree(entries, canonicalTarget, error))
        return false;
    const qint64 available = QStorageInfo(canonicalTarget).bytesAvailable();
    if (available >= 0 && needed > available)
        return fail(error, QStringLiteral("%1 needs %2 bytes, %3 are free")
                               .arg(archivePath)
                               .arg(needed)
                               .arg(available));

    // First every file, decompressed and checked, in the scratch folder: a package that fails
    // here leaves the installation exactly as it was.
    const QString scratch = makeScratchFolder(canonicalTarget);
    if (scratch.isEmpty())
        return fail(
            error,
            QStringLiteral("Can not make the scratch folder in \"%1\"").arg(canonicalTarget));
    struct Cleanup
    {
        QString folder;
        ~Cleanup() { QDir(folder).removeRecursively(); }
    } cleanup{scratch};
    int n = 0;
    for (const Entry &entry : entries) {
        if (entry.kind == Kind::File &&
            !stageFile(archive.get(), entry, scratch + QLatin1Char('/') + QString::number(n++),
                       error))
            return false;
    }
    // Then all of it on the disk at once, before any file takes its place.
    const bool synced = durability == Durability::Synced;
    if (synced && n > 0 && !Platform::syncFileSystem(scratch))
        return fail(error,
                    QStringLiteral("Can not put the files of %1 on the disk").arg(archivePath));
    return install(entries, targetFolder, canonicalTarget, scratch, synced, error, writtenFiles);
}

} // namespace Zip
