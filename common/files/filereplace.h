#pragma once

#include <QFile>
#include <QString>

#include "common/errorstring.h"
#include "common/files/platform.h"

// The folder ".update-scratch" of a folder: where files are written before they take their place
// beside it, on the same file system. Its name is reserved (a package may not write into it), so
// no file of a package or of the installation is ever mistaken for scratch. It is held open from
// the moment it is made, so that whatever is put under its name later is never written into.
class ScratchFolder : public ErrorString
{
public:
    ScratchFolder() = default;
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder &) = delete;
    ScratchFolder &operator=(const ScratchFolder &) = delete;

    static QString name() { return QStringLiteral(".update-scratch"); }

    // Opens the scratch folder of parent, readable by the updater's user only. Anything but a
    // real folder under the name (a link planted there, a file) is removed as itself first; with
    // fresh, a folder there goes too, with all it holds (a killed run's files).
    bool open(const Platform::Folder &parent, bool fresh);
    Platform::Folder &folder() { return m_folder; }
    // Removes the folder when it is empty, or with all it holds.
    void removeIfEmpty();
    void removeAll();

private:
    Platform::Folder m_parent;
    Platform::Folder m_folder;
};

// Files that must never be half-written or missing are written beside their place and renamed
// over it in one step: the target is always either the old or the new file.
class FileReplace : public ErrorString
{
public:
    // Puts name of from, a finished file that the updater made there, in toName's place in to
    // (the same file system) in one step: its data reach the disk, it takes the owner, group and
    // permission bits of reference (the file it replaces) when reference exists, it is renamed
    // over toName and to's entries are synced. Only the file staged is renamed; nothing found
    // under toName is opened. On failure toName is untouched, and renameFailed() tells a failed
    // rename from a file that could not be made ready.
    [[nodiscard]] bool moveOver(Platform::Folder &from, const QString &name, Platform::Folder &to,
                                const QString &toName, const Platform::FileInfo &reference);
    bool renameFailed() const { return m_renameFailed; }

    // The new contents of the file name in folder, written into the folder's scratch folder and
    // renamed over it by commit(). The part's name is fixed, so a write cut short (a crash, a
    // kill) leaves at most one stale part, which the next write of the same file replaces; the
    // scratch folder goes as soon as it is empty. Destroyed uncommitted, the part file removes
    // what it wrote.
    class PartFile : public ErrorString
    {
    public:
        PartFile(Platform::Folder &folder, const QString &name);
        ~PartFile();
        PartFile(const PartFile &) = delete;
        PartFile &operator=(const PartFile &) = delete;

        static QString partName(const QString &name) { return name + QStringLiteral(".part"); }

        // Removes a stale part (as itself, a link never followed) and creates a new one.
        [[nodiscard]] bool open();
        QFile &file() { return m_file; }
        // Flushes (to the disk as well when durable), gives the part the owner and mode of
        // reference when it exists, closes it and renames it over the file. On failure the file
        // is untouched.
        [[nodiscard]] bool commit(const Platform::FileInfo &reference, bool durable);

    private:
        Platform::Folder &m_target;
        QString m_name;
        ScratchFolder m_scratch;
        Platform::File m_part;
        QFile m_file;
        bool m_committed = false;
    };

private:
    bool m_renameFailed = false;
};
