#include "common/zipsafety.h"

#include <filesystem>
#include <system_error>
#include <utility>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include "common/failure.h"
#include "common/filereplace.h"
#include "common/paths.h"

namespace Zip {

namespace {

constexpr int maxLinkHops = 40; // as the system counts before it gives up

// Names inside a package, and link targets, are relative paths in either separator.
bool isAbsolute(const QString &path)
{
    static const QRegularExpression driveLetter(QStringLiteral("^[A-Za-z]:"));
    return path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\')) ||
           path.contains(driveLetter);
}

QStringList partsOf(const QString &name)
{
    return QString(name).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
}

// The raw target of a link on disk, empty when the path is not a link.
QString linkOnDisk(const QString &path)
{
    const std::filesystem::path native(QFile::encodeName(path).toStdString());
    std::error_code ec;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(native, ec)))
        return QString();
    const std::filesystem::path target = std::filesystem::read_symlink(native, ec);
    return ec ? QString() : QFile::decodeName(QByteArray::fromStdString(target.string()));
}

} // namespace

bool escapesFolder(const QString &relativeName)
{
    return isAbsolute(relativeName) || partsOf(relativeName).contains(QStringLiteral(".."));
}

// The folder where files are written before they take their place belongs to the extraction:
// an entry there could be mistaken for scratch, or scratch for it. A file put over the run's lock
// would let a second run in, and one put into a work folder would be worked on unchecked.
bool isReservedName(const QString &relativeName)
{
    const QStringList parts = partsOf(relativeName);
    const QString top = parts.value(0);
    return parts.contains(FileReplace::PartFile::scratchFolderName(), Qt::CaseInsensitive) ||
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
            return fail(
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
            return fail(error, QStringLiteral("link \"%1\" goes round in a loop").arg(name));
        if (!inside(lands))
            return fail(error,
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
            return fail(error,
                        QStringLiteral("entry \"%1\" would be written outside the target folder")
                            .arg(entry.name));
    }
    return true;
}

} // namespace Zip
