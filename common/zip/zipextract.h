#pragma once

#include <functional>
#include <vector>

#include <QHash>
#include <QString>
#include <QStringList>

#include "common/errorstring.h"
#include "common/files/platform.h"
#include "common/zip/zipcheck.h"

class QFile;
class ScratchFolder;

namespace Zip {

// Unpacking a whole ZIP package into a folder, on libzip, whole or not at all (the rules are the
// README's, "A package lands whole or not at all"): EntryCheck decides what it can before a byte
// is written; then the files are staged in the target's scratch folder and checked, put on the
// disk, and only then are folders made and links and files renamed into place. The target is held
// open and every folder below it is reached from it one name at a time, never through a link;
// what a refused package made is removed again.
class Extractor : public ErrorString
{
public:
    // Scratch that is put on the disk later, as a whole, need not wait for the disk now.
    enum class Durability { Synced, Scratch };

    // target stays open for as long as the extractor works in it.
    explicit Extractor(Platform::Folder &target, Durability durability = Durability::Synced)
        : m_target(target), m_durability(durability)
    {}

    // Told, as the files are staged, how many of their bytes are done of how many.
    using Progress = std::function<void(qint64 done, qint64 total)>;
    void setProgress(Progress progress) { m_progress = std::move(progress); }

    // The entry packageName is installed under name instead (the executable of a main package).
    void installAs(const QString &packageName, const QString &name)
    {
        m_renamed.insert(packageName, name);
    }

    // Unpacks an archive already open for reading, through a descriptor of its own: the bytes
    // unpacked are those of this very file, whatever its name leads to meanwhile. A file that is
    // damaged or not a ZIP archive is refused. archiveName names it in the reasons.
    [[nodiscard]] bool extractAll(QFile &archive, const QString &archiveName);

    // The clean relative names of the files written by the last extractAll, as installed.
    QStringList writtenFiles() const { return m_written; }
    // True when the last extractAll installed packageName under its other name.
    bool installedAs(const QString &packageName) const
    {
        return m_installedAs.contains(packageName);
    }

private:
    struct Made;
    bool write(zip *archive, const std::vector<Entry> &entries, const QString &archiveName);
    bool stageFile(zip *archive, const Entry &entry, Platform::Folder &scratch,
                   const QString &staged);
    bool install(const std::vector<Entry> &entries, ScratchFolder &scratch, Made &made);
    Platform::Folder *folderAt(const QString &relative, quint32 permissions, Made &made);
    void undo(Made &made);

    Platform::Folder &m_target;
    Durability m_durability;
    QHash<QString, QString> m_renamed;
    Progress m_progress;
    qint64 m_staged = 0;
    qint64 m_toStage = 0;
    int m_filesToStage = 0;
    QStringList m_written;
    QStringList m_installedAs;
};

} // namespace Zip
