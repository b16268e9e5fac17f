#include "common/files/workfolder.h"

#include "common/logging.h"
#include "common/paths.h"

WorkFolder::~WorkFolder()
{
    remove();
}

bool WorkFolder::create(const Platform::Folder &parent)
{
    remove();
    clearError();
    if (!m_parent.openSame(parent))
        return failBecause(m_parent.errorString());
    m_name = m_parent.makePrivateFolder(Paths::workFolderPrefix());
    if (m_name.isEmpty() || !m_folder.openIn(m_parent, m_name)) {
        const QString why = m_name.isEmpty() ? m_parent.errorString() : m_folder.errorString();
        m_parent.close();
        return failBecause(
            QStringLiteral("can not make a work folder in %1: %2").arg(parent.path(), why));
    }
    return true;
}

void WorkFolder::remove()
{
    if (m_folder.isOpen()) {
        // Emptied through the folder held; its name is removed only while it still names it, and
        // once the folder is let go of: Windows removes no folder that is held.
        const QStringList names = m_folder.entries();
        for (const QString &name : names)
            m_folder.removeTree(name);
        const bool stillNamed = m_parent.infoOf(m_name).isSameAs(m_folder.info());
        m_folder.close();
        if (stillNamed)
            m_parent.removeEmptyFolder(m_name);
    }
    m_folder.close();
    m_parent.close();
    m_name.clear();
}

bool WorkFolder::liesIn(const Platform::Folder &parent) const
{
    return m_parent.info().isSameAs(parent.info());
}

void WorkFolder::removeLeftovers(Platform::Folder &parent)
{
    const QStringList names = parent.entries();
    for (const QString &name : names) {
        if (!name.startsWith(Paths::workFolderPrefix()))
            continue;
        qCDebug(lcUpdate).noquote() << "Removing" << name << "left by an interrupted run";
        if (!parent.removeTree(name))
            qCWarning(lcUpdate).noquote()
                << "Can not remove" << name << ":" << parent.errorString();
    }
}
