#include "common/zipextract.h"

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
        entry.name = QString::fromUtf8(st.name);
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
        // Two entries for one path leave it to chance which one lands: refuse the package.
        QString key = QString(entry.name).replace(QLatin1Char('\\'), QLatin1Char('/'));
        while (key.endsWith(QLatin1Char('/')))
            key.chop(1);
        if (seen.contains(key))
            return fail(error, QStringLiteral("entry \"%1\" appears twice").arg(entry.name));
        seen.insert(key);
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

// Creates folder and its missing parents, but only when everything that already exists on the
// way leads to a place inside the target: an existing link may point anywhere.
bool makeFolderInside(const QString &canonicalTarget, const QString &folder)
{
    QString existing = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    while (!QFileInfo::exists(existing) && existing != QFileInfo(existing).path())
        existing = QFileInfo(existing).path();
    return insideFolder(canonicalTarget, existing) && QDir().mkpath(folder) &&
           insideFolder(canonicalTarget, folder);
}

bool writeFile(zip_t *archive, const Entry &entry, const QString &path, QString *error)
{
    FileReplace::PartFile out(path);
    if (!out.open())
        return fail(error,
                    QStringLiteral("Can not write \"%1\": %2").arg(path, out.file().errorString()));
    EntryPtr file(zip_fopen_index(archive, entry.index, 0));
    if (!file)
        return fail(error, QStringLiteral("Can not read entry \"%1\": %2")
                               .arg(entry.name, QString::fromUtf8(zip_strerror(archive))));
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
        if (out.file().write(buffer.constData(), n) != n)
            return fail(
                error,
                QStringLiteral("Can not write \"%1\": %2").arg(path, out.file().errorString()));
    }
    if (!out.file().setPermissions(UnixMode::toPermissions(entry.mode)))
        return fail(error, QStringLiteral("Can not set permissions of \"%1\"").arg(path));
    QString commitError;
    if (!out.commit(true, &commitError))
        return fail(error, QStringLiteral("Can not write \"%1\": %2").arg(path, commitError));
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
                QStringList *writtenFiles)
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
    if (!entriesStayInside(entries, canonicalTarget, error))
        return false;
    const qint64 available = QStorageInfo(canonicalTarget).bytesAvailable();
    if (available >= 0 && needed > available)
        return fail(error, QStringLiteral("%1 needs %2 bytes, %3 are free")
                               .arg(archivePath)
                               .arg(needed)
                               .arg(available));

    const QDir base(targetFolder);
    auto pathOf = [&](const Entry &entry) {
        return base.filePath(QString(entry.name).replace(QLatin1Char('\\'), QLatin1Char('/')));
    };
    // A folder or link that already exists in the target may lead elsewhere: whatever is
    // written must land inside the target after every link is followed.
    auto parentInside = [&](const QString &path) {
        return makeFolderInside(canonicalTarget, QFileInfo(path).absolutePath());
    };

    for (const Entry &entry : entries) {
        if (entry.kind != Kind::Folder)
            continue;
        const QString path = pathOf(entry);
        if (!makeFolderInside(canonicalTarget, path))
            return fail(error, QStringLiteral("Can not create folder \"%1\"").arg(path));
        if (!QFile::setPermissions(path, UnixMode::toPermissions(entry.mode)))
            return fail(error, QStringLiteral("Can not set permissions of \"%1\"").arg(path));
    }
    for (const Entry &entry : entries) {
        if (entry.kind != Kind::Link)
            continue;
        const QString path = pathOf(entry);
        if (!parentInside(path))
            return fail(error, QStringLiteral("\"%1\" lies outside the target folder").arg(path));
        if (!makeLink(entry, path, error))
            return false;
    }
    for (const Entry &entry : entries) {
        if (entry.kind != Kind::File)
            continue;
        const QString path = pathOf(entry);
        if (!parentInside(path))
            return fail(error, QStringLiteral("\"%1\" lies outside the target folder").arg(path));
        if (!writeFile(archive.get(), entry, path, error))
            return false;
        if (writtenFiles)
            writtenFiles->append(
                QDir::cleanPath(QString(entry.name).replace(QLatin1Char('\\'), QLatin1Char('/'))));
    }
    return true;
}

} // namespace Zip
