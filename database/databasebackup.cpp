#include "database/databasebackup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include "common/files/filereplace.h"
#include "common/files/platform.h"
#include "common/logging.h"
#include "common/zip/zipwriter.h"

namespace {

constexpr qint64 keptDays = 60;

} // namespace

DatabaseBackup::DatabaseBackup(const QString &database, const QString &archivePath)
    : m_database(database), m_archive(archivePath)
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
    // The writer's own scratch ("….zip.part.XXXXXX") and an archive never renamed to its date.
    static const QRegularExpression partial(QStringLiteral("^rcdb-.*\\.zip\\.part"));
    for (const QFileInfo &entry : entries) {
        if (entry.lastModified().date().daysTo(today) <= keptDays &&
            !partial.match(entry.fileName()).hasMatch())
            continue;
        const QString path = entry.absoluteFilePath();
        qCDebug(lcDatabase).noquote() << path;
        if (QFile::remove(path))
            deleted << path;
    }
    return deleted;
}

bool DatabaseBackup::write()
{
    return begin() && finish();
}

bool DatabaseBackup::begin()
{
    clearError();
    const QString part = m_archive + partSuffix();
    const QFileInfo folder(QFileInfo(part).absolutePath());
    if (!folder.isDir() || QFileInfo(m_archive).isDir() || QFileInfo(part).isDir())
        return failBecause(QStringLiteral("Can not create \"%1\"").arg(m_archive));
    QFile source(m_database);
    if (!source.open(QIODevice::ReadOnly) || QFileInfo(m_database).isDir())
        return failBecause(source.isOpen() ? QStringLiteral("file to open is a directory")
                                           : source.errorString());
    return true;
}

bool DatabaseBackup::finish()
{
    clearError();
    const QString part = m_archive + partSuffix();
    // The file is read as it is now, once nobody else may write it.
    Zip::Writer writer(part);
    if (!writer.writeOneFile(QStringLiteral("rc.db"), m_database, QFile(m_database).permissions()))
        return failBecause(writer.errorString());
    QFile written(part);
    if (!written.open(QIODevice::ReadOnly) || !Platform::syncFile(written.handle())) {
        QFile::remove(part);
        return failBecause(QStringLiteral("Can not put \"%1\" on the disk").arg(part));
    }
    written.close();
    FileReplace rename;
    if (!rename.renameOver(part, m_archive)) {
        QFile::remove(part);
        return failBecause(rename.errorString());
    }
    return true;
}
