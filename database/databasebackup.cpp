#include "database/databasebackup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "common/logging.h"
#include "common/ziparchive.h"

namespace DatabaseBackup {

namespace {

constexpr qint64 keptDays = 60;
// A waiting user gains more from a fast backup than from the last tenth of its size.
constexpr int compressionLevel = 1;

bool failWith(QString *error, const QString &text)
{
    if (error)
        *error = text;
    return false;
}

} // namespace

QString archivePath(const QString &folder, const QDateTime &localTime)
{
    return folder + QStringLiteral("/rcdb-") + localTime.toString(QStringLiteral("yyMMdd-hhmm")) +
           QStringLiteral(".zip");
}

QStringList prune(const QString &folder, const QDate &today)
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

bool write(const QString &database, const QString &archivePath, QString *error)
{
    Zip::Writer writer(archivePath);
    if (!writer.open())
        return failWith(error, writer.errorString());
    writer.setCompressionLevel(compressionLevel);

    QFile source(database);
    if (!source.open(QIODevice::ReadOnly))
        return failWith(error, source.errorString());
    if (!writer.addFile(QStringLiteral("rc.db"), database, source.permissions()))
        return failWith(error, writer.errorString());
    // The writer reads the file while it closes the archive; our handle only proves that the
    // file could be read before anything was written.
    if (!writer.close())
        return failWith(error, writer.errorString());
    return true;
}

} // namespace DatabaseBackup
