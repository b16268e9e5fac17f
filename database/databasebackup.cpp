#include "database/databasebackup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "common/failure.h"
#include "common/logging.h"

namespace {

constexpr qint64 keptDays = 60;
// A waiting user gains more from a fast backup than from the last tenth of its size.
constexpr int compressionLevel = 1;

} // namespace

DatabaseBackup::DatabaseBackup(const QString &database, const QString &archivePath)
    : m_database(database), m_writer(archivePath)
{}

QString DatabaseBackup::archivePath(const QString &folder, const QDateTime &localTime)
{
    return folder + QStringLiteral("/rcdb-") + localTime.toString(QStringLiteral("yyMMdd-hhmm")) +
           QStringLiteral(".zip");
}

QStringList DatabaseBackup::prune(const QString &folder, const QDate &today)
{
    QStringList deleted;
    const QFileInfoList entries =
        QDir(folder).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks);
    for (const QFileInfo &entry : entries) {
        if (entry.lastModified().date().daysTo(today) <= keptDays)
            continue;
        const QString path = entry.absoluteFilePath();
        qCDebug(lcDatabase).noquote() << path;
        if (QFile::remove(path))
            deleted << path;
    }
    return deleted;
}

bool DatabaseBackup::write(const QString &database, const QString &archivePath, QString *error)
{
    DatabaseBackup backup(database, archivePath);
    return backup.begin(error) && backup.finish(error);
}

bool DatabaseBackup::begin(QString *error)
{
    if (!m_writer.open())
        return fail(error, m_writer.errorString());
    m_writer.setCompressionLevel(compressionLevel);
    QFile source(m_database);
    if (!source.open(QIODevice::ReadOnly))
        return fail(error, source.errorString());
    if (!m_writer.addFile(QStringLiteral("rc.db"), m_database, source.permissions()))
        return fail(error, m_writer.errorString());
    return true;
}

bool DatabaseBackup::finish(QString *error)
{
    // The writer reads the file while it closes the archive.
    return m_writer.close() || fail(error, m_writer.errorString());
}
