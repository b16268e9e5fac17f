#pragma once

#include <QString>
#include <QStringList>

class QFile;

// Unpacking a whole ZIP package into a folder, on libzip.
namespace Zip {

// Unpacks every entry of the archive into targetFolder in three passes: folders (with their
// stored permissions), then symbolic links, then files (each written beside its place and
// renamed over an existing file, with its stored permissions; set-id and sticky bits are
// dropped). A missing file has no entries: nothing is written and the result is true. A file
// that is damaged, not a ZIP archive or not a regular file is refused.
//
// Before anything is written every entry is checked: an absolute name, a drive letter, a ".."
// component, a name reserved for the updater's own files, a link leading outside
// targetFolder, an entry that would be written through a link (in the package or on disk)
// leading outside, or entries larger than the free space refuse the whole package, and nothing at
// all is written. writtenFiles receives the clean relative names of the files written.
bool extractAll(const QString &archivePath, const QString &targetFolder, QString *error = nullptr,
                QStringList *writtenFiles = nullptr);
// The same from an archive already open for reading, which is read through a descriptor of its
// own: the bytes unpacked are those of this very file, whatever its name leads to meanwhile.
bool extractAll(QFile &archive, const QString &targetFolder, QString *error = nullptr,
                QStringList *writtenFiles = nullptr);

} // namespace Zip
