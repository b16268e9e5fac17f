#pragma once

#include <vector>

#include <QHash>
#include <QString>

#include "common/errorstring.h"

struct zip;

// The first phase of unpacking a package: everything that decides, before anything is written,
// whether it may be unpacked into a folder. Where each entry lands once every link on the way
// (the package's and those already on disk) is followed, whether that is inside the folder,
// whether the places it needs are free, and whether it fits on the disk.
namespace Zip {

enum class Kind { Folder, Link, File };

// One entry of a package, as the check and the writing see it.
struct Entry
{
    quint64 index = 0;
    QString name; // relative, in "/", without a trailing "/", cleaned
    Kind kind = Kind::File;
    quint32 mode = 0;
    qint64 size = 0;
    QString linkTarget;
    // Where the entry is put once the check has followed every link on the way, relative to the
    // target and free of links: the folder it is made in (for a folder entry, the folder itself)
    // and its own name there.
    QString folder;
    QString leaf;
    // The entry's name in the package, when it is installed under another (see renameEntry).
    QString packageName;
};

// An absolute name, a drive letter or a ".." component, in "/".
bool escapesFolder(const QString &name);
// A name that belongs to the updater itself: inside the folder that the extraction keeps for its
// scratch files, or the run's lock and work folders at the top of the installation.
bool isReservedName(const QString &name);
// A link whose target (in either separator), read where the link stands, leads above the
// target folder.
bool linkEscapes(const QString &linkName, const QString &linkTarget);

// Where an absolute path lands once every link on the way is followed, as the system will follow
// them: links (place -> target) first, then those on disk. Empty when links go round in a loop.
QString landing(const QString &path, const QHash<QString, QString> &links);

// Reads the entries of an open archive and decides whether they may be unpacked into a folder;
// errorString() says why a package is refused.
class EntryCheck : public ErrorString
{
public:
    // canonicalTarget: an existing folder's canonical path.
    explicit EntryCheck(const QString &canonicalTarget) : m_target(canonicalTarget) {}

    // The entry packageName (a clean relative name) is installed as name; the rules of the
    // package apply to that name.
    void renameEntry(const QString &packageName, const QString &name)
    {
        m_renamed.insert(packageName, name);
    }

    // Every check, in order; archiveName names the package in the reasons.
    bool check(zip *archive, const QString &archiveName);
    const std::vector<Entry> &entries() const { return m_entries; }

    // The entries with their kinds, modes and names, normalised here once: Windows tools write
    // "docs\" for a folder and "docs\a.txt" for a file in it. Names outside the folder, reserved
    // ones, doubled ones and links leading out refuse the package; on Windows also names that it
    // treats specially (WindowsNames), names that differ in case alone, and links.
    bool readEntries(zip *archive);
    // True when every link, and every folder and file, lands inside the target once the
    // package's links are made over what is on disk.
    bool entriesStayInside();
    // False when something stands where an entry needs a folder or a file, or when a name is
    // too long for the file system; on Windows also when a name is the short (8.3) name of
    // another that stands there.
    bool placesAreFree();
    // False when the files need more than the disk has free.
    bool fitsOnDisk(const QString &archiveName);

private:
    QString m_target;
    std::vector<Entry> m_entries;
    QHash<QString, QString> m_renamed;
};

} // namespace Zip
