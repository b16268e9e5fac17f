#pragma once

#include <QString>

#include "common/errorstring.h"

// The run's own folder beside ../rc.db, readable and writable by the updater's user only and on
// the same file system as the database, so that the new release reaches its place by one rename.
// Whatever the run takes from ../update-tmp/ and works on lives here: the unpacked release, its
// scratch copies, the private copy of the offer. Removed when the object goes; what a killed run
// left behind is removed by the next run once it holds the RunLock.
class WorkFolder : public ErrorString
{
public:
    WorkFolder() = default;
    ~WorkFolder();
    WorkFolder(const WorkFolder &) = delete;
    WorkFolder &operator=(const WorkFolder &) = delete;

    // Makes a new folder in parent: unless told otherwise, the folder of ../rc.db's own file (a
    // link followed), else the installation folder.
    bool create(const QString &parent = QString());
    void remove();
    bool isValid() const { return !m_path.isEmpty(); }
    QString path() const { return m_path; }
    QString filePath(const QString &name) const;

    // Every work folder in parent (by default there and in the installation folder); only a run
    // that holds the RunLock may call this.
    static void removeLeftovers(const QString &parent = QString());

private:
    QString m_path;
};
