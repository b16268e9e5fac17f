#pragma once

#include <QString>

#include "common/errorstring.h"
#include "common/files/platform.h"

// The run's own folder, readable and writable by the updater's user only, beside ../rc.db's own
// file, so that the new release reaches its place by one rename. Whatever the run takes from
// ../update-tmp/ and works on lives here: the unpacked release, its scratch copies, the private
// copy of the offer. The folder is held open for the whole run, so that a folder put in its
// place under its name is never worked in; it is removed when the object goes, and what a
// killed run left behind is removed by the next run once it holds the RunLock.
class WorkFolder : public ErrorString
{
public:
    WorkFolder() = default;
    ~WorkFolder();
    WorkFolder(const WorkFolder &) = delete;
    WorkFolder &operator=(const WorkFolder &) = delete;

    [[nodiscard]] bool create(const Platform::Folder &parent);
    void remove();
    bool isValid() const { return m_folder.isOpen(); }
    Platform::Folder &folder() { return m_folder; }
    const Platform::Folder &folder() const { return m_folder; }
    // True when the folder lies in that one (the same folder, however it is reached).
    bool liesIn(const Platform::Folder &parent) const;

    // Removes every work folder in parent, never entering a link; only a run that holds the
    // RunLock may call this.
    static void removeLeftovers(Platform::Folder &parent);

private:
    Platform::Folder m_parent;
    Platform::Folder m_folder;
    QString m_name;
};
