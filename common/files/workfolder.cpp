#include "common/files/workfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "common/files/platform.h"
#include "common/logging.h"
#include "common/paths.h"

namespace {

// Beside the database's own file, a link followed: the release must reach it by a rename.
QString databaseFolder()
{
    const QString file = QFileInfo(Paths::installedDatabasePath()).canonicalFilePath();
    return file.isEmpty() ? Paths::installationFolder() : QFileInfo(file).absolutePath();
}

QString folderOrInstallation(const QString &parent)
{
    return parent.isEmpty() ? databaseFolder() : parent;
}

// A link is removed as a link, never followed into whatever it points at.
void removeTree(const QString &path)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isDir())
        QFile::remove(path);
    else
        QDir(path).removeRecursively();
}

} // namespace

WorkFolder::~WorkFolder()
{
    remove();
}

bool WorkFolder::create(const QString &parent)
{
    remove();
    // Absolute, so that the folder is found (and removed) whatever the current folder is by then.
    const QString folder =
        QDir::cleanPath(QFileInfo(folderOrInstallation(parent)).absoluteFilePath());
    m_path = Platform::makePrivateFolder(folder + QLatin1Char('/') + Paths::workFolderPrefix() +
                                         QStringLiteral("XXXXXX"));
    return isValid() || failBecause(QStringLiteral("can not make a work folder in %1").arg(folder));
}

void WorkFolder::remove()
{
    if (!m_path.isEmpty())
        removeTree(m_path);
    m_path.clear();
}

QString WorkFolder::filePath(const QString &name) const
{
    return m_path + QLatin1Char('/') + name;
}

void WorkFolder::removeLeftovers(const QString &parent)
{
    QStringList folders{folderOrInstallation(parent)};
    if (parent.isEmpty())
        folders << Paths::installationFolder();
    for (const QString &folder : folders) {
        const QStringList names = QDir(folder).entryList(
            {Paths::workFolderPrefix() + QLatin1Char('*')},
            QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        for (const QString &name : names) {
            qCDebug(lcUpdate).noquote() << "Removing" << name << "left by an interrupted run";
            removeTree(folder + QLatin1Char('/') + name);
        }
    }
}
