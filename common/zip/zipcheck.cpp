#include "common/zip/zipcheck.h"

#include <memory>
#include <utility>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QStorageInfo>
#include <QStringList>

#include <zip.h>

#include "common/files/filereplace.h"
#include "common/paths.h"
#include "common/zip/namerules.h"
#include "common/zip/unixmode.h"

namespace Zip {

using namespace NameRules;

namespace {

constexpr int maxLinkHops = 40; // as the system counts before it gives up
constexpr quint32 defaultFileMode = 0644;
constexpr quint32 defaultFolderMode = 0755;
// Set-user-id, set-group-id and sticky bits never come from a package: installed by root, an
// entry marked 04755 would otherwise run as root for whoever starts it.
constexpr quint32 permissionBits = UnixMode::permissionBits;
constexpr qsizetype longestLinkTarget = 4096;

// Names inside a package, and link targets, are relative paths in either separator.
bool isAbsolute(const QString &path)
{
    static const QRegularExpression driveLetter(QStringLiteral("^[A-Za-z]:"));
    return path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\')) ||
           path.contains(driveLetter);
}

// A link's target, which libzip gives as the entry's data.
bool readLinkTarget(zip_t *archive, const Entry &entry, QByteArray *data)
{
    zip_file_t *file = zip_fopen_index(archive, entry.index, 0);
    if (!file)
        return false;
    const std::unique_ptr<zip_file_t, int (*)(zip_file_t *)> closer(file, zip_fclose);
    data->clear();
    char buffer[1024];
    for (;;) {
        const zip_int64_t n = zip_fread(file, buffer, sizeof buffer);
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        data->append(buffer, n);
        if (data->size() > longestLinkTarget)
            return false;
    }
}

} // namespace

bool escapesFolder(const QString &relativeName)
{
    return isAbsolute(relativeName) ||
           relativeName.split(QLatin1Char('/')).contains(QStringLiteral(".."));
}

// The folder where files are written before they take their place belongs to the extraction:
// an entry there could be mistaken for scratch, or scratch for it. A file put over the run's lock
// would let a second run in, and one put into a work folder would be worked on unchecked.
bool isReservedName(const QString &relativeName)
{
    const QStringList parts = relativeName.split(QLatin1Char('/'));
    const QString top = parts.value(0);
    return parts.contains(ScratchFolder::name(), Qt::CaseInsensitive) ||
           top.compare(QFileInfo(Paths::runLockPath()).fileName(), Qt::CaseInsensitive) == 0 ||
           top.startsWith(Paths::workFolderPrefix(), Qt::CaseInsensitive);
}

bool linkEscapes(const QString &linkName, const QString &linkTarget)
{
    if (isAbsolute(linkTarget))
        return true;
    const QString parent = QFileInfo(linkName).path();
    const QString resolved =
        QDir::cleanPath(parent + QLatin1Char('/') + QString(linkTarget).replace('\\', '/'));
    return resolved == QStringLiteral("..") || resolved.startsWith(QStringLiteral("../"));
}

// A ".." after a link leads up from where the link points, not from where it stands.
QString landing(const QString &path, const QHash<QString, QString> &links)
{
    // What no ".." leads above: "" on POSIX, where every absolute path starts with "/"; on
    // Windows the drive ("C:") or the share ("//server/share").
    QString root;
#ifdef Q_OS_WIN
    static const QRegularExpression drive(QStringLiteral("^([A-Za-z]:|//[^/]+/[^/]+)"));
    root = drive.match(path).captured(1);
#endif
    QStringList pending = path.mid(root.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current = root;
    int hops = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            current.truncate(qMax(root.size(), current.lastIndexOf(QLatin1Char('/'))));
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
            current = root;
    }
    return current == root ? root + QStringLiteral("/") : current;
}

// Each link's target was checked on its own, by its name; together, links can still lead out:
// with "x" -> "." the link "s/l" -> "../x/../q" points beside the target, and with "a" -> "."
// the link "a/b/l" -> "../../q" is made as "b/l". And a folder or file entry can lead out
// through a link already on disk ("data" -> "/elsewhere", then "data/x"). Follows the links as
// they will be made, in order, over what is on disk, so that all of it is decided before the
// first byte is written.
bool EntryCheck::entriesStayInside()
{
    const QString &canonicalTarget = m_target;
    std::vector<Entry> &entries = m_entries;
    auto inside = [&](const QString &path) {
        return path == canonicalTarget || path.startsWith(canonicalTarget + QLatin1Char('/'));
    };
    auto relative = [&](const QString &path) {
        return path == canonicalTarget ? QString() : path.mid(canonicalTarget.size() + 1);
    };
    auto absolute = [&](const Entry &entry) {
        return canonicalTarget + QLatin1Char('/') + entry.name;
    };
    QHash<QString, QString> links;
    std::vector<std::pair<QString, QString>> made; // place, entry name
    for (Entry &entry : entries) {
        if (entry.kind != Kind::Link)
            continue;
        const QString path = absolute(entry);
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        const QString folder = landing(path.left(slash), links);
        if (folder.isEmpty() || !inside(folder))
            return failBecause(
                QStringLiteral("link \"%1\" lies outside the target folder").arg(entry.name));
        const QString place = folder + path.mid(slash);
        entry.folder = relative(folder);
        entry.leaf = path.mid(slash + 1);
        links.insert(place, entry.linkTarget);
        made.emplace_back(place, entry.name);
    }
    for (const auto &[place, name] : made) {
        const QString target = links.value(place);
        const QString from = place.left(place.lastIndexOf(QLatin1Char('/')));
        const QString lands = landing(
            target.startsWith(QLatin1Char('/')) ? target : from + QLatin1Char('/') + target, links);
        if (lands.isEmpty())
            return failBecause(QStringLiteral("link \"%1\" goes round in a loop").arg(name));
        if (!inside(lands))
            return failBecause(
                QStringLiteral("link \"%1\" leads outside the target folder").arg(name));
    }
    // A file replaces whatever stands at its own name, a link included, so only the folder it
    // lands in must be inside; a folder entry is entered, so the whole path must be.
    for (Entry &entry : entries) {
        if (entry.kind == Kind::Link)
            continue;
        const QString path = absolute(entry);
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        const QString lands = landing(entry.kind == Kind::Folder ? path : path.left(slash), links);
        if (lands.isEmpty() || !inside(lands))
            return failBecause(
                QStringLiteral("entry \"%1\" would be written outside the target folder")
                    .arg(entry.name));
        entry.folder = relative(lands);
        entry.leaf = entry.kind == Kind::Folder ? QString() : path.mid(slash + 1);
    }
    return true;
}

bool EntryCheck::readEntries(zip_t *archive)
{
    m_entries.clear();
    QSet<QString> seen;
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive, zip_uint64_t(i), 0, &st) != 0 || !st.name)
            return failBecause(QStringLiteral("Unreadable entry %1").arg(i));
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
            return failBecause(
                QStringLiteral("entry \"%1\" lies outside the target folder").arg(entry.name));
        if (isReservedName(entry.name))
            return failBecause(QStringLiteral("entry \"%1\" takes a name reserved for the "
                                              "updater's own files")
                                   .arg(entry.name));
        while (entry.name.endsWith(QLatin1Char('/')))
            entry.name.chop(1);
        entry.name = QDir::cleanPath(entry.name);
        if (m_renamed.contains(entry.name)) {
            entry.packageName = entry.name;
            entry.name = m_renamed.value(entry.name);
        }
#ifdef Q_OS_WIN
        const QString refused = refusedOnWindows(entry);
        if (!refused.isEmpty())
            return failBecause(refused);
#endif
        // Two entries for one path leave it to chance which one lands: refuse the package.
        if (seen.contains(sameNameKey(entry.name)))
            return failBecause(QStringLiteral("entry \"%1\" appears twice").arg(entry.name));
        seen.insert(sameNameKey(entry.name));
        if (entry.kind == Kind::Link) {
            QByteArray target;
            if (!readLinkTarget(archive, entry, &target))
                return failBecause(QStringLiteral("Can not read link \"%1\"").arg(entry.name));
            entry.linkTarget = QFile::decodeName(target);
            if (entry.linkTarget.isEmpty())
                return failBecause(QStringLiteral("Link \"%1\" is empty").arg(entry.name));
            if (linkEscapes(entry.name, entry.linkTarget))
                return failBecause(
                    QStringLiteral("link \"%1\" leads outside the target folder").arg(entry.name));
        }
        m_entries.push_back(entry);
    }
    return true;
}

// What stands where an entry needs a folder or a file, found before anything is written: on
// disk, a file where the package needs a folder or a folder where it puts a file; in the
// package, a file that another entry needs as a folder; and names the file system can not take.
bool EntryCheck::placesAreFree()
{
    const QString &canonicalTarget = m_target;
    const std::vector<Entry> &entries = m_entries;
    QHash<QString, Kind> kinds;
    for (const Entry &entry : entries)
        kinds.insert(sameNameKey(entry.name), entry.kind);
    for (const Entry &entry : entries) {
        const QString absolute = canonicalTarget + QLatin1Char('/') + entry.name;
        if (lengthOf(absolute) > longestPath)
            return failBecause(QStringLiteral("entry \"%1\": the path is too long for the file "
                                              "system")
                                   .arg(entry.name));
        const QStringList parts = entry.name.split(QLatin1Char('/'));
        QString prefix;
        for (qsizetype i = 0; i < parts.size(); ++i) {
            if (lengthOf(parts.at(i)) > longestName)
                return failBecause(QStringLiteral("entry \"%1\": the name \"%2\" is too long for "
                                                  "the file system")
                                       .arg(entry.name, parts.at(i)));
            prefix += (i ? QStringLiteral("/") : QString()) + parts.at(i);
            const bool last = i == parts.size() - 1;
            if (!last && kinds.value(sameNameKey(prefix), Kind::Folder) == Kind::File)
                return failBecause(QStringLiteral("entry \"%1\" is a file, and entry \"%2\" needs "
                                                  "it as a folder")
                                       .arg(prefix, entry.name));
            if (kinds.value(sameNameKey(prefix), Kind::Folder) == Kind::Link)
                break; // where a link of the package leads was checked with the links
            const QFileInfo onDisk(canonicalTarget + QLatin1Char('/') + prefix);
            if (!onDisk.exists() || onDisk.isSymLink())
                continue;
#ifdef Q_OS_WIN
            // "PROGRA~1" may be the second, short name of "Program Files": what the package
            // means by it is not what lands.
            const QString real = Platform::nameOnDisk(onDisk.filePath());
            if (!real.isEmpty() && real.compare(parts.at(i), Qt::CaseInsensitive) != 0)
                return failBecause(QStringLiteral("entry \"%1\": \"%2\" is the short name of "
                                                  "\"%3\"")
                                       .arg(entry.name, parts.at(i), real));
#endif
            const bool wantsFolder = !last || entry.kind == Kind::Folder;
            if (wantsFolder && !onDisk.isDir())
                return failBecause(QStringLiteral("\"%1\" is a file, and entry \"%2\" needs a "
                                                  "folder there")
                                       .arg(prefix, entry.name));
            if (last && entry.kind == Kind::File && onDisk.isDir())
                return failBecause(QStringLiteral("\"%1\" is a folder, and entry \"%2\" is a file")
                                       .arg(prefix, entry.name));
        }
    }
    return true;
}

bool EntryCheck::fitsOnDisk(const QString &archiveName)
{
    qint64 needed = 0;
    for (const Entry &entry : m_entries)
        if (entry.kind == Kind::File)
            needed += entry.size;
    const qint64 available = QStorageInfo(m_target).bytesAvailable();
    if (available >= 0 && needed > available)
        return failBecause(QStringLiteral("%1 needs %2 bytes, %3 are free")
                               .arg(archiveName)
                               .arg(needed)
                               .arg(available));
    return true;
}

bool EntryCheck::check(zip_t *archive, const QString &archiveName)
{
    clearError();
    return readEntries(archive) && entriesStayInside() && placesAreFree() &&
           fitsOnDisk(archiveName);
}

} // namespace Zip
