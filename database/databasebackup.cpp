#include "database/databasebackup.h"

#include <QDir>
#include <QRegularExpression>

#include "common/logging.h"
#include "common/zip/onefilearchive.h"

namespace {

constexpr qint64 keptDays = 60;

} // namespace

DatabaseBackup::DatabaseBackup(Platform::Folder &folder, const QString &archiveName)
    : m_folder(folder), m_name(archiveName)
{}

DatabaseBackup::~DatabaseBackup()
{
    if (m_part.isOpen()) {
        m_part.close();
        m_folder.remove(m_name + partSuffix());
    }
}

QString DatabaseBackup::archiveName(const QDateTime &localTime)
{
    return QStringLiteral("rcdb-") + localTime.toString(QStringLiteral("yyMMdd-hhmm")) +
           QStringLiteral(".zip");
}

QStringList DatabaseBackup::prune(Platform::Folder &folder, const QDate &today)
{
    QStringList deleted;
    // An archive never renamed to its date, whatever its age.
    static const QRegularExpression partial(QStringLiteral("^rcdb-.*\\.zip\\.part"));
    const QString absolute = QDir(folder.path()).absolutePath();
    const QStringList names = folder.entries();
    for (const QString &name : names) {
        const Platform::FileInfo info = folder.infoOf(name);
        if (!info.isFile())
            continue;
        if (info.modified.date().daysTo(today) <= keptDays && !partial.match(name).hasMatch())
            continue;
        const QString path = absolute + QLatin1Char('/') + name;
        qCDebug(lcDatabase).noquote() << path;
        if (folder.remove(name))
            deleted << path;
    }
    return deleted;
}

bool DatabaseBackup::begin(const Platform::FileInfo &database)
{
    clearError();
    const QString part = m_name + partSuffix();
    const Platform::FileInfo standing = m_folder.infoOf(m_name);
    if (standing.isFolder() || m_folder.infoOf(part).isFolder())
        return failBecause(
            QStringLiteral("Can not create \"%1\": a folder stands there").arg(m_name));
    if (!m_folder.remove(part))
        return failBecause(m_folder.errorString());
    m_part = m_folder.createFile(part, database.permissions);
    if (!m_part.isOpen())
        return failBecause(
            QStringLiteral("Can not create \"%1\": %2").arg(part, m_folder.errorString()));
    // Never more readable than the database: whoever could not read it can not read its copy.
    if (!m_part.takeOwnerAndMode(database))
        return failBecause(
            QStringLiteral("Can not create \"%1\": %2").arg(part, m_part.errorString()));
    return true;
}

bool DatabaseBackup::finish(Platform::File &database, const Platform::FileInfo &info,
                            std::atomic<qint64> *read)
{
    clearError();
    const QString part = m_name + partSuffix();
    // The file is read as it is now, once nobody else may write it.
    Zip::OneFileArchive writer;
    const Zip::OneFileArchive::Source source{&database, info.size, info.permissions, info.modified,
                                             read};
    if (!writer.write(QStringLiteral("rc.db"), source, m_part))
        return failBecause(
            QStringLiteral("Can not write \"%1\": %2").arg(part, writer.errorString()));
    if (!m_part.sync())
        return failBecause(
            QStringLiteral("Can not put \"%1\" on the disk: %2").arg(part, m_part.errorString()));
    m_part.close();
    if (!m_folder.rename(part, m_folder, m_name)) {
        m_folder.remove(part);
        return failBecause(m_folder.errorString());
    }
    m_folder.sync();
    return true;
}
