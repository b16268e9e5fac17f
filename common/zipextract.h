#pragma once

#include <QString>
#include <QStringList>

class QFile;

// Unpacking a whole ZIP package into a folder, on libzip.
namespace Zip {

// Unpacks every entry of the archive into targetFolder, whole or not at all. Names are taken in
// either separator ("docs\" is a folder, as Windows tools write it).
//
// First everything is checked: an absolute name, a drive letter, a ".." component, a name
// reserved for the updater's own files, a link leading outside targetFolder, an entry that would
// be written through a link (in the package or on disk) leading outside, a file standing where
// the package needs a folder (or the reverse), a name too long for the file system, or entries
// larger than the free space refuse the whole package. Then every file is staged in the scratch
// folder, decompressed and checked (damaged data, an encrypted entry or an unsupported method
// refuse it there), and all of them are put on the disk at once. Only then are folders and links
// made and the files renamed into place, each folder that changed synced once: a refused package
// leaves the target exactly as it was. A file that replaces one keeps that file's owner, group
// and mode; a new file or folder gets the package's permission bits (never set-id or sticky)
// and, when the updater may choose, the owner of its folder.
//
// A missing file has no entries: nothing is written and the result is true. A file that is
// damaged, not a ZIP archive or not a regular file is refused. writtenFiles receives the clean
// relative names of the files written.
bool extractAll(const QString &archivePath, const QString &targetFolder, QString *error = nullptr,
                QStringList *writtenFiles = nullptr);
// The same from an archive already open for reading, which is read through a descriptor of its
// own: the bytes unpacked are those of this very file, whatever its name leads to meanwhile.
// Scratch that is put on the disk later, as a whole, need not wait for the disk now.
enum class Durability { Synced, Scratch };
bool extractAll(QFile &archive, const QString &targetFolder, QString *error = nullptr,
                QStringList *writtenFiles = nullptr, Durability durability = Durability::Synced);

} // namespace Zip
