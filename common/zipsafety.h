#pragma once

#include <vector>

#include <QHash>
#include <QString>

// The rules that decide, before anything is written, whether a package may be unpacked into a
// folder: where each entry lands once every link on the way (the package's and those already on
// disk) is followed, and whether that is inside the folder.
namespace Zip {

enum class Kind { Folder, Link, File };

// One entry of a package, as the rules and the extraction see it.
struct Entry
{
    quint64 index = 0;
    QString name;
    Kind kind = Kind::File;
    quint32 mode = 0;
    qint64 size = 0;
    QString linkTarget;
};

// An absolute name, a drive letter or a ".." component, in either separator.
bool escapesFolder(const QString &relativeName);
// A name that belongs to the updater itself: inside the folder that the extraction keeps for its
// scratch files, or the run's lock and work folders at the top of the installation.
bool isReservedName(const QString &relativeName);
// A link whose target, read where the link stands, leads above the target folder.
bool linkEscapes(const QString &linkName, const QString &linkTarget);

// Where an absolute path lands once every link on the way is followed, as the system will follow
// them: links (place -> target) first, then those on disk. Empty when links go round in a loop.
QString landing(const QString &path, const QHash<QString, QString> &links);

// True when every link, and every folder and file, of the package lands inside canonicalTarget
// (an existing folder's canonical path) once the package's links are made over what is on disk.
bool entriesStayInside(const std::vector<Entry> &entries, const QString &canonicalTarget,
                       QString *why);

} // namespace Zip
