#include "common/files/filereplace.h"

ScratchFolder::~ScratchFolder()
{
    m_folder.close();
    m_parent.close();
}

bool ScratchFolder::open(const Platform::Folder &parent, bool fresh)
{
    clearError();
    m_folder.close();
    if (!m_parent.openSame(parent))
        return failBecause(m_parent.errorString());
    const Platform::FileInfo standing = m_parent.infoOf(name());
    if (standing.exists() && (fresh || !standing.isFolder()) && !m_parent.removeTree(name()))
        return failBecause(m_parent.errorString());
    if ((!standing.isFolder() || fresh) && !m_parent.makeFolder(name(), 0700))
        return failBecause(m_parent.errorString());
    return m_folder.openIn(m_parent, name()) || failBecause(m_folder.errorString());
}

void ScratchFolder::removeIfEmpty()
{
    // Only while the name is still the folder held; let go of first, since Windows removes no
    // folder that is held.
    const bool remove = m_folder.isOpen() && m_parent.infoOf(name()).isSameAs(m_folder.info()) &&
                        m_folder.entries().isEmpty();
    m_folder.close();
    if (remove)
        m_parent.removeEmptyFolder(name());
}

void ScratchFolder::removeAll()
{
    if (m_folder.isOpen()) {
        const QStringList names = m_folder.entries();
        for (const QString &entry : names)
            m_folder.removeTree(entry);
    }
    removeIfEmpty();
}

bool FileReplace::moveOver(Platform::Folder &from, const QString &name, Platform::Folder &to,
                           const QString &toName, const Platform::FileInfo &reference)
{
    m_renameFailed = false;
    clearError();
    Platform::File file = from.openForReading(name, false);
    if (!file.isOpen())
        return failBecause(from.errorString());
    if (reference.exists() && !file.takeOwnerAndMode(reference))
        return failBecause(file.errorString());
    if (!file.sync())
        return failBecause(QStringLiteral("can not sync %1: %2").arg(name, file.errorString()));
    file.close();
    if (!from.rename(name, to, toName)) {
        m_renameFailed = true;
        return failBecause(from.errorString());
    }
    // The new name lives in the folder's entries: until they reach the disk, a power cut can
    // bring the old file back although the caller has gone on to record the new version.
    to.sync();
    return true;
}

FileReplace::PartFile::PartFile(Platform::Folder &folder, const QString &name)
    : m_target(folder), m_name(name)
{}

FileReplace::PartFile::~PartFile()
{
    m_file.close();
    m_part.close();
    if (!m_committed && m_scratch.folder().isOpen())
        m_scratch.folder().remove(partName(m_name));
    m_scratch.removeIfEmpty();
}

bool FileReplace::PartFile::open()
{
    if (!m_scratch.open(m_target, false))
        return failBecause(m_scratch.errorString());
    Platform::Folder &scratch = m_scratch.folder();
    if (!scratch.removeTree(partName(m_name)))
        return failBecause(scratch.errorString());
    m_part = scratch.createFile(partName(m_name), 0600);
    if (!m_part.isOpen())
        return failBecause(scratch.errorString());
    return m_file.open(m_part.descriptor(), QIODevice::WriteOnly, QFileDevice::DontCloseHandle) ||
           failBecause(m_file.errorString());
}

bool FileReplace::PartFile::commit(const Platform::FileInfo &reference, bool durable)
{
    if (!m_file.flush())
        return failBecause(m_file.errorString());
    m_file.close();
    if (reference.exists() && !m_part.takeOwnerAndMode(reference))
        return failBecause(m_part.errorString());
    if (durable && !m_part.sync())
        return failBecause(m_part.errorString());
    m_part.close();
    if (!m_scratch.folder().rename(partName(m_name), m_target, m_name))
        return failBecause(m_scratch.folder().errorString());
    m_committed = true;
    if (durable)
        m_target.sync();
    return true;
}
