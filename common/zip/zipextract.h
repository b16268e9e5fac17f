#pragma once

#include <vector>

#include <QString>
#include <QStringList>

#include "common/errorstring.h"
#include "common/zip/zipcheck.h"

class QFile;

// Unpacking a whole ZIP package into a folder, on libzip.
namespace Zip {

// Unpacks every entry of an archive into a folder, whole or not at all, in two phases. Names are
// taken in either separator ("docs\" is a folder, as Windows tools write it).
//
// The check (PackageCheck): an absolute name, a drive letter, a ".." component, a name reserved
// for the updater's own files, a link leading outside the folder, an entry that would be written
// through a link (in the package or on disk) leading outside, a file standing where the package
// needs a folder (or the reverse), a name too long for the file system, or entries larger than
// the free space refuse the whole package.
//
// The writing: every file is staged in the scratch folder, decompressed and checked (damaged
// data, an encrypted entry or an unsupported method refuse it there), and all of them are put on
// the disk at once. Only then are folders and links made and the files renamed into place, each
// folder that changed synced once: a refused package leaves the folder exactly as it was. A file
// that replaces one keeps that file's owner, group and mode; a new file or folder gets the
// package's permission bits (never set-id or sticky) and, when the updater may choose, the owner
// of its folder.
class Extractor : public ErrorString
{
public:
    // Scratch that is put on the disk later, as a whole, need not wait for the disk now.
    enum class Durability { Synced, Scratch };

    explicit Extractor(const QString &targetFolder, Durability durability = Durability::Synced)
        : m_target(targetFolder), m_durability(durability)
    {}

    // A missing file has no entries: nothing is written and the result is true. A file that is
    // damaged, not a ZIP archive or not a regular file is refused.
    bool extractAll(const QString &archivePath);
    // The same from an archive already open for reading, which is read through a descriptor of
    // its own: the bytes unpacked are those of this very file, whatever its name leads to
    // meanwhile.
    bool extractAll(QFile &archive);

    // The clean relative names of the files written by the last extractAll.
    QStringList writtenFiles() const { return m_written; }

private:
    bool write(zip *archive, const std::vector<Entry> &entries, const QString &canonicalTarget,
               const QString &archiveName);
    bool stageFile(zip *archive, const Entry &entry, const QString &staged);
    bool install(const std::vector<Entry> &entries, const QString &canonicalTarget,
                 const QString &scratch);

    QString m_target;
    Durability m_durability;
    QStringList m_written;
};

} // namespace Zip
