#pragma once

#include <QFile>
#include <QString>

#include "common/errorstring.h"

// Files that must never be half-written or missing are written beside their place and renamed
// over it in one step: the target is always either the old or the new file.
class FileReplace : public ErrorString
{
public:
    enum class FolderSync {
        Now,  // the new entry is on the disk when renameOver returns
        Later // the caller syncs the folder once, for many files
    };

    // Renames source over target, replacing an existing target atomically, and syncs target's
    // folder so that the new entry survives a power cut.
    bool renameOver(const QString &source, const QString &target,
                    FolderSync sync = FolderSync::Now);

    // Puts source, a finished file on target's file system, in target's place in one step: its
    // data reach the disk, it takes the owner, group and permission bits of the target it
    // replaces, and it is renamed over it. On failure target is untouched, and renameFailed()
    // tells a failed rename from a file that could not be made ready.
    bool moveOver(const QString &source, const QString &target);
    bool renameFailed() const { return m_renameFailed; }

    // The new contents of a file, written into the folder ".update-scratch" beside it and renamed
    // over it by commit(). The folder's name is reserved (a package may not write into it), so no
    // file of a package or of the installation is ever mistaken for scratch. The part's name is
    // fixed, so a write cut short (a crash, a kill) leaves at most one stale part, which the next
    // write of the same file replaces; the folder goes as soon as it is empty. Destroyed
    // uncommitted, the part file removes what it wrote.
    class PartFile : public ErrorString
    {
    public:
        explicit PartFile(const QString &target);
        ~PartFile();
        PartFile(const PartFile &) = delete;
        PartFile &operator=(const PartFile &) = delete;

        static QString partPath(const QString &target);
        static QString scratchFolderName() { return QStringLiteral(".update-scratch"); }

        // Replaces a stale part file and creates a new one; never opens through a link.
        bool open();
        QFile &file() { return m_file; }
        // Flushes (to the disk as well when durable), closes and renames over the target. On
        // failure the target is untouched.
        bool commit(bool durable);

    private:
        QString m_target;
        QFile m_file;
        bool m_committed = false;
    };

private:
    bool m_renameFailed = false;
};
