#include "common/ziparchive.h"

#include <filesystem>
#include <memory>
#include <system_error>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>
#include <QSet>
#include <QStorageInfo>

#include <zip.h>

#include "common/filereplace.h"
#include "common/logging.h"

namespace Zip {

namespace {

constexpr qint64 chunkSize = 256 * 1024;
constexpr qint64 storedBelow = 64;
constexpr quint32 defaultFileMode = 0644;
constexpr quint32 defaultFolderMode = 0755;
// Set-user-id, set-group-id and sticky bits never come from a package: installed by root, an
// entry marked 04755 would otherwise run as root for whoever starts it.
constexpr quint32 permissionBits = 0777;

enum class Kind { Folder, Link, File };

struct Entry
{
    zip_uint64_t index = 0;
    QString name;
    Kind kind = Kind::File;
    quint32 mode = defaultFileMode;
    qint64 size = 0;
    QString linkTarget;
};

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

bool refuse(QString *error, const QString &text)
{
    qCDebug(lcZip).noquote() << "Refused:" << text;
    if (error)
        *error = text;
    return false;
}

bool failWith(QString *error, const QString &text)
{
    qCDebug(lcZip).noquote() << text;
    if (error)
        *error = text;
    return false;
}

// Names inside a package are relative paths below the target folder, in either separator.
bool escapesFolder(const QString &relativePath)
{
    static const QRegularExpression driveLetter(QStringLiteral("^[A-Za-z]:"));
    if (relativePath.startsWith(QLatin1Char('/')) || relativePath.startsWith(QLatin1Char('\\')) ||
        relativePath.contains(driveLetter))
        return true;
    const QStringList parts =
        QString(relativePath).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
    return parts.contains(QStringLiteral(".."));
}

// The folder where files are written before they take their place belongs to the extraction:
// an entry there could be mistaken for scratch, or scratch for it.
bool inScratchFolder(const QString &relativePath)
{
    const QStringList parts =
        QString(relativePath).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
    return parts.contains(FileReplace::PartFile::scratchFolderName(), Qt::CaseInsensitive);
}

// Where a link would lead, as a clean path relative to the target folder.
bool linkEscapes(const QString &linkName, const QString &linkTarget)
{
    static const QRegularExpression driveLetter(QStringLiteral("^[A-Za-z]:"));
    if (linkTarget.startsWith(QLatin1Char('/')) || linkTarget.startsWith(QLatin1Char('\\')) ||
        linkTarget.contains(driveLetter))
        return true;
    const QString parent = QFileInfo(linkName).path();
    const QString resolved =
        QDir::cleanPath(parent + QLatin1Char('/') + QString(linkTarget).replace('\\', '/'));
    return resolved == QStringLiteral("..") || resolved.startsWith(QStringLiteral("../"));
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

bool listEntries(zip_t *archive, std::vector<Entry> *entries, QString *error)
{
    QSet<QString> seen;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive, zip_uint64_t(i), 0, &st) != 0 || !st.name)
            return failWith(error, QStringLiteral("Unreadable entry %1").arg(i));
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
        } else if (hasMode && S_ISLNK(mode)) {
            entry.kind = Kind::Link;
        } else {
            entry.kind = Kind::File;
            entry.mode = hasMode ? (mode & permissionBits) : defaultFileMode;
        }

        if (entry.name.isEmpty() || escapesFolder(entry.name))
            return refuse(
                error,
                QStringLiteral("entry \"%1\" lies outside the target folder").arg(entry.name));
        if (inScratchFolder(entry.name))
            return refuse(
                error, QStringLiteral("entry \"%1\" lies in the folder reserved for scratch files")
                           .arg(entry.name));
        // Two entries for one path leave it to chance which one lands: refuse the package.
        QString key = QString(entry.name).replace(QLatin1Char('\\'), QLatin1Char('/'));
        while (key.endsWith(QLatin1Char('/')))
            key.chop(1);
        if (seen.contains(key))
            return refuse(error, QStringLiteral("entry \"%1\" appears twice").arg(entry.name));
        seen.insert(key);
        if (entry.kind == Kind::Link) {
            QByteArray target;
            if (!readWhole(archive, entry, &target))
                return failWith(error, QStringLiteral("Can not read link \"%1\"").arg(entry.name));
            entry.linkTarget = QFile::decodeName(target);
            if (entry.linkTarget.isEmpty())
                return failWith(error, QStringLiteral("Link \"%1\" is empty").arg(entry.name));
            if (linkEscapes(entry.name, entry.linkTarget))
                return refuse(
                    error,
                    QStringLiteral("link \"%1\" leads outside the target folder").arg(entry.name));
        }
        entries->push_back(entry);
    }
    return true;
}

constexpr int maxLinkHops = 40; // as the system counts before it gives up

QString linkOnDisk(const QString &path)
{
    struct stat st;
    const QByteArray name = QFile::encodeName(path);
    if (::lstat(name.constData(), &st) != 0 || !S_ISLNK(st.st_mode))
        return QString();
    QByteArray target(4096, Qt::Uninitialized);
    const ssize_t n = ::readlink(name.constData(), target.data(), size_t(target.size()));
    return n <= 0 ? QString() : QFile::decodeName(target.left(n));
}

// Where an absolute path lands once every link on the way is followed, as the system will follow
// them: the package's links, by the place where each is made, before those already on disk. A
// ".." after a link leads up from where the link points, not from where it stands. Empty when
// the links go round in a loop.
QString landing(const QString &path, const QHash<QString, QString> &links)
{
    QStringList pending = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current;
    int hops = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            current.truncate(qMax(0, current.lastIndexOf(QLatin1Char('/'))));
            continue;
        }
        const QString next = current + QLatin1Char('/') + part;
        QString to = links.value(next);
        if (to.isEmpty())
            to = linkOnDisk(next);
        if (to.isEmpty()) {
            current = next;
            continue;
        }
        if (++hops > maxLinkHops)
            return QString();
        pending = to.split(QLatin1Char('/'), Qt::SkipEmptyParts) + pending;
        if (to.startsWith(QLatin1Char('/')))
            current.clear();
    }
    return current.isEmpty() ? QStringLiteral("/") : current;
}

// Each link's target was checked on its own, by its name; together, links can still lead out:
// with "x" -> "." the link "s/l" -> "../x/../q" points beside the target, and with "a" -> "."
// the link "a/b/l" -> "../../q" is made as "b/l". And a folder or file entry can lead out
// through a link already on disk ("data" -> "/elsewhere", then "data/x"). Follows the links as
// they will be made, in order, over what is on disk, so that all of it is decided before the
// first byte is written.
bool entriesStayInside(const std::vector<Entry> &entries, const QString &canonicalTarget,
                       QString *error)
{
    auto inside = [&](const QString &path) {
        return path == canonicalTarget || path.startsWith(canonicalTarget + QLatin1Char('/'));
    };
    auto absolute = [&](const Entry &entry) {
        QString path = canonicalTarget + QLatin1Char('/') +
                       QString(entry.name).replace(QLatin1Char('\\'), QLatin1Char('/'));
        while (path.endsWith(QLatin1Char('/')))
            path.chop(1);
        return path;
    };
    QHash<QString, QString> links;
    std::vector<std::pair<QString, QString>> made; // place, entry name
    for (const Entry &entry : entries) {
        if (entry.kind != Kind::Link)
            continue;
        const QString path = absolute(entry);
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        const QString folder = landing(path.left(slash), links);
        if (folder.isEmpty() || !inside(folder))
            return refuse(
                error,
                QStringLiteral("link \"%1\" lies outside the target folder").arg(entry.name));
        const QString place = folder + path.mid(slash);
        links.insert(place, entry.linkTarget);
        made.emplace_back(place, entry.name);
    }
    for (const auto &[place, name] : made) {
        const QString target = links.value(place);
        const QString from = place.left(place.lastIndexOf(QLatin1Char('/')));
        const QString lands = landing(
            target.startsWith(QLatin1Char('/')) ? target : from + QLatin1Char('/') + target, links);
        if (lands.isEmpty())
            return refuse(error, QStringLiteral("link \"%1\" goes round in a loop").arg(name));
        if (!inside(lands))
            return refuse(error,
                          QStringLiteral("link \"%1\" leads outside the target folder").arg(name));
    }
    // A file replaces whatever stands at its own name, a link included, so only the folder it
    // lands in must be inside; a folder entry is entered, so the whole path must be.
    for (const Entry &entry : entries) {
        if (entry.kind == Kind::Link)
            continue;
        const QString path = absolute(entry);
        const QString lands =
            landing(entry.kind == Kind::Folder ? path : path.left(path.lastIndexOf('/')), links);
        if (lands.isEmpty() || !inside(lands))
            return refuse(error,
                          QStringLiteral("entry \"%1\" would be written outside the target folder")
                              .arg(entry.name));
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
        return failWith(
            error, QStringLiteral("Can not write \"%1\": %2").arg(path, out.file().errorString()));
    EntryPtr file(zip_fopen_index(archive, entry.index, 0));
    if (!file)
        return failWith(error, QStringLiteral("Can not read entry \"%1\": %2")
                                   .arg(entry.name, QString::fromUtf8(zip_strerror(archive))));
    QByteArray buffer(chunkSize, Qt::Uninitialized);
    qint64 written = 0;
    for (;;) {
        const zip_int64_t n = zip_fread(file.get(), buffer.data(), chunkSize);
        if (n < 0)
            return failWith(error,
                            QStringLiteral("Damaged entry \"%1\": %2")
                                .arg(entry.name, QString::fromUtf8(zip_file_strerror(file.get()))));
        if (n == 0)
            break;
        // The free space was checked against the declared sizes, and the reader does not hold
        // an entry to its declared size: a few bytes that claim ten may inflate to gigabytes.
        written += n;
        if (written > entry.size)
            return failWith(error, QStringLiteral("Damaged entry \"%1\": more data than the "
                                                  "%2 bytes declared")
                                       .arg(entry.name)
                                       .arg(entry.size));
        if (out.file().write(buffer.constData(), n) != n)
            return failWith(
                error,
                QStringLiteral("Can not write \"%1\": %2").arg(path, out.file().errorString()));
    }
    ::fchmod(out.file().handle(), mode_t(entry.mode & permissionBits));
    QString commitError;
    if (!out.commit(false, &commitError))
        return failWith(error, QStringLiteral("Can not write \"%1\": %2").arg(path, commitError));
    return true;
}

bool makeLink(const Entry &entry, const QString &path, QString *error)
{
    const QFileInfo existing(path);
    if (existing.isSymLink() || existing.isFile())
        QFile::remove(path);
    if (!QFile::link(entry.linkTarget, path))
        return failWith(error, QStringLiteral("Can not make link \"%1\"").arg(path));
    return true;
}

QFileDevice::Permissions permissionsFromMode(quint32 mode)
{
    QFileDevice::Permissions p;
    if (mode & S_IRUSR)
        p |= QFileDevice::ReadOwner | QFileDevice::ReadUser;
    if (mode & S_IWUSR)
        p |= QFileDevice::WriteOwner | QFileDevice::WriteUser;
    if (mode & S_IXUSR)
        p |= QFileDevice::ExeOwner | QFileDevice::ExeUser;
    if (mode & S_IRGRP)
        p |= QFileDevice::ReadGroup;
    if (mode & S_IWGRP)
        p |= QFileDevice::WriteGroup;
    if (mode & S_IXGRP)
        p |= QFileDevice::ExeGroup;
    if (mode & S_IROTH)
        p |= QFileDevice::ReadOther;
    if (mode & S_IWOTH)
        p |= QFileDevice::WriteOther;
    if (mode & S_IXOTH)
        p |= QFileDevice::ExeOther;
    return p;
}

quint32 modeFromPermissions(QFileDevice::Permissions p)
{
    quint32 mode = 0;
    if (p & QFileDevice::ReadOwner)
        mode |= S_IRUSR;
    if (p & QFileDevice::WriteOwner)
        mode |= S_IWUSR;
    if (p & QFileDevice::ExeOwner)
        mode |= S_IXUSR;
    if (p & QFileDevice::ReadGroup)
        mode |= S_IRGRP;
    if (p & QFileDevice::WriteGroup)
        mode |= S_IWGRP;
    if (p & QFileDevice::ExeGroup)
        mode |= S_IXGRP;
    if (p & QFileDevice::ReadOther)
        mode |= S_IROTH;
    if (p & QFileDevice::WriteOther)
        mode |= S_IWOTH;
    if (p & QFileDevice::ExeOther)
        mode |= S_IXOTH;
    return mode;
}

} // namespace

bool extractAll(const QString &archivePath, const QString &targetFolder, QString *error,
                QStringList *writtenFiles)
{
    if (!QFileInfo(archivePath).isFile()) {
        qCDebug(lcZip).noquote() << "No package" << archivePath;
        return true;
    }
    QFile archive(archivePath);
    if (!archive.open(QIODevice::ReadOnly))
        return failWith(
            error,
            QStringLiteral("Can not open \"%1\": %2").arg(archivePath, archive.errorString()));
    return extractAll(archive, targetFolder, error, writtenFiles);
}

bool extractAll(QFile &archiveFile, const QString &targetFolder, QString *error,
                QStringList *writtenFiles)
{
    const QString archivePath = archiveFile.fileName();
    // The reader gets a descriptor of its own on the file already open, never the name again:
    // what was checked through this file is what is unpacked.
    const int fd = ::dup(archiveFile.handle());
    if (fd < 0 || ::lseek(fd, 0, SEEK_SET) != 0) {
        if (fd >= 0)
            ::close(fd);
        return failWith(error, QStringLiteral("Can not read \"%1\"").arg(archivePath));
    }
    int openError = 0;
    ArchivePtr archive(zip_fdopen(fd, ZIP_RDONLY, &openError));
    if (!archive) {
        ::close(fd);
        return refuse(error, QStringLiteral("%1 is damaged or not a ZIP archive").arg(archivePath));
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
        return failWith(error, QStringLiteral("No folder \"%1\"").arg(targetFolder));
    if (!entriesStayInside(entries, canonicalTarget, error))
        return false;
    const qint64 available = QStorageInfo(canonicalTarget).bytesAvailable();
    if (available >= 0 && needed > available)
        return refuse(error, QStringLiteral("%1 needs %2 bytes, %3 are free")
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
            return failWith(error, QStringLiteral("Can not create folder \"%1\"").arg(path));
        if (!QFile::setPermissions(path, permissionsFromMode(entry.mode)))
            return failWith(error, QStringLiteral("Can not set permissions of \"%1\"").arg(path));
    }
    for (const Entry &entry : entries) {
        if (entry.kind != Kind::Link)
            continue;
        const QString path = pathOf(entry);
        if (!parentInside(path))
            return refuse(error, QStringLiteral("\"%1\" lies outside the target folder").arg(path));
        if (!makeLink(entry, path, error))
            return false;
    }
    for (const Entry &entry : entries) {
        if (entry.kind != Kind::File)
            continue;
        const QString path = pathOf(entry);
        if (!parentInside(path))
            return refuse(error, QStringLiteral("\"%1\" lies outside the target folder").arg(path));
        if (!writeFile(archive.get(), entry, path, error))
            return false;
        if (writtenFiles)
            writtenFiles->append(
                QDir::cleanPath(QString(entry.name).replace(QLatin1Char('\\'), QLatin1Char('/'))));
    }
    return true;
}

Writer::Writer(const QString &archivePath) : m_path(archivePath) {}

Writer::~Writer()
{
    if (m_archive)
        zip_discard(m_archive);
}

bool Writer::fail(const QString &text)
{
    m_error = text;
    qCDebug(lcZip).noquote() << text;
    return false;
}

bool Writer::open()
{
    const QFileInfo info(m_path);
    if (!QFileInfo(info.absolutePath()).isDir() || info.isDir())
        return fail(QStringLiteral("Can not create \"%1\"").arg(m_path));
    int openError = 0;
    m_archive =
        zip_open(QFile::encodeName(m_path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &openError);
    if (!m_archive) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, openError);
        const QString text = QString::fromUtf8(zip_error_strerror(&ze));
        zip_error_fini(&ze);
        return fail(QStringLiteral("Can not create \"%1\": %2").arg(m_path, text));
    }
    return true;
}

bool Writer::finishEntry(qint64 index, qint64 size, quint32 mode)
{
    if (index < 0)
        return fail(QString::fromUtf8(zip_strerror(m_archive)));
    const auto method = size < storedBelow ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
    if (zip_set_file_compression(m_archive, zip_uint64_t(index), method,
                                 method == ZIP_CM_STORE ? 0 : zip_uint32_t(m_level)) != 0 ||
        zip_file_set_external_attributes(m_archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX,
                                         zip_uint32_t(mode) << 16) != 0)
        return fail(QString::fromUtf8(zip_strerror(m_archive)));
    return true;
}

bool Writer::addFile(const QString &entryName, const QString &sourcePath,
                     QFileDevice::Permissions permissions)
{
    if (!m_archive)
        return fail(QStringLiteral("Archive not open"));
    const QFileInfo info(sourcePath);
    zip_source_t *source =
        zip_source_file(m_archive, QFile::encodeName(sourcePath).constData(), 0, -1);
    if (!source)
        return fail(QStringLiteral("Can not read \"%1\": %2")
                        .arg(sourcePath, QString::fromUtf8(zip_strerror(m_archive))));
    const zip_int64_t index =
        zip_file_add(m_archive, entryName.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0)
        zip_source_free(source);
    return finishEntry(index, info.size(), S_IFREG | modeFromPermissions(permissions));
}

bool Writer::addData(const QString &entryName, const QByteArray &data,
                     QFileDevice::Permissions permissions)
{
    if (!m_archive)
        return fail(QStringLiteral("Archive not open"));
    m_buffers.push_back(data);
    const QByteArray &kept = m_buffers.back();
    zip_source_t *source = zip_source_buffer(m_archive, kept.constData(), kept.size(), 0);
    if (!source)
        return fail(QString::fromUtf8(zip_strerror(m_archive)));
    const zip_int64_t index =
        zip_file_add(m_archive, entryName.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0)
        zip_source_free(source);
    return finishEntry(index, data.size(), S_IFREG | modeFromPermissions(permissions));
}

bool Writer::addDirectory(const QString &entryName, QFileDevice::Permissions permissions)
{
    if (!m_archive)
        return fail(QStringLiteral("Archive not open"));
    const zip_int64_t index =
        zip_dir_add(m_archive, entryName.toUtf8().constData(), ZIP_FL_ENC_UTF_8);
    if (index < 0)
        return fail(QString::fromUtf8(zip_strerror(m_archive)));
    return zip_file_set_external_attributes(m_archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX,
                                            zip_uint32_t(S_IFDIR | modeFromPermissions(permissions))
                                                << 16) == 0 ||
           fail(QString::fromUtf8(zip_strerror(m_archive)));
}

bool Writer::close()
{
    if (!m_archive)
        return fail(QStringLiteral("Archive not open"));
    if (zip_close(m_archive) != 0) {
        const QString text = QString::fromUtf8(zip_strerror(m_archive));
        zip_discard(m_archive);
        m_archive = nullptr;
        return fail(QStringLiteral("Can not write \"%1\": %2").arg(m_path, text));
    }
    m_archive = nullptr;
    m_buffers.clear();
    return true;
}

} // namespace Zip
