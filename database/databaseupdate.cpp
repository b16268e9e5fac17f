#include "database/databaseupdate.h"

#include <memory>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>

#include "common/contract.h"
#include "common/diagnostics/checkpoint.h"
#include "common/files/filereplace.h"
#include "common/files/untrustedfile.h"
#include "common/files/workfolder.h"
#include "common/logging.h"
#include "common/paths.h"
#include "common/settings/settings.h"
#include "common/zip/zipextract.h"
#include "database/currentdatabase.h"
#include "database/databasebackup.h"
#include "database/ownmodelmerge.h"
#include "database/parallelbackup.h"
#include "database/sqlconnection.h"
#include "database/visibility.h"

namespace {

const char *const cantCreateBackup = QT_TRANSLATE_NOOP("Thread", "Can't create backup.");
const char *const cantOpenCurrent = QT_TRANSLATE_NOOP("Thread", "Can not open current database.");
const char *const cantOpenNew = QT_TRANSLATE_NOOP("Thread", "Can not open new database.");
const char *const cantEdit = QT_TRANSLATE_NOOP("Thread", "Can not edit database.");
const char *const cantRename = QT_TRANSLATE_NOOP("Thread", "Can't copy new database");
const char *const cantCopy = QT_TRANSLATE_NOOP("Thread", "Can't copy new database1");

QString translated(const char *text)
{
    return QCoreApplication::translate("Thread", text);
}

// Only a regular file of the work folder is worked on: a link unpacked under the release's name
// would lead the merge, and the final rename, to some other file.
bool isRegularFile(const QString &path)
{
    const QFileInfo info(path);
    return !path.isEmpty() && info.isFile() && !info.isSymLink();
}

} // namespace

// The release is unpacked into the run's own folder, never into ../update-tmp/, where anybody
// could swap it after the check. What earlier runs unpacked there is removed all the same, so
// that nothing outside the updater mistakes it for the installed catalogue.
void DatabaseUpdate::unpackRelease(QFile *package, const QString &workFolder)
{
    for (const QString &unpacked : {Paths::newDatabasePath(), Paths::newDatabaseJournalPath(),
                                    Paths::newDatabasePath() + QStringLiteral("-wal"),
                                    Paths::newDatabasePath() + QStringLiteral("-shm")})
        QFile::remove(unpacked);
    m_release =
        workFolder.isEmpty() ? QString() : workFolder + QLatin1Char('/') + Paths::releaseFileName();
    // A missing or broken package shows as a missing new database later on.
    // The release is scratch until, merged, it goes to the disk and takes the place of ../rc.db.
    Zip::Extractor extractor(workFolder, Zip::Extractor::Durability::Scratch);
    if (package && !m_release.isEmpty() && !extractor.extractAll(*package))
        qCWarning(lcDatabase).noquote()
            << "Database package not extracted:" << extractor.errorString();
    // SQLite would apply a journal or WAL lying beside the release, whoever's it is: the package
    // brings the database alone.
    for (const char *suffix : {"-journal", "-wal", "-shm"})
        if (QFile::remove(m_release + QLatin1String(suffix)))
            qCWarning(lcDatabase).noquote()
                << "Removed" << m_release + QLatin1String(suffix) << "that came with the package";
    qCDebug(lcDatabase) << "Release unpacked";
    Checkpoint::reach(QStringLiteral("database unpacked"));
}

DatabaseUpdate::DatabaseUpdate(QObject *parent) : QObject(parent) {}

bool DatabaseUpdate::reportFailure(Failure failure)
{
    emit status(failure.status);
    emit statusText(translated(failure.text));
    return false;
}

bool DatabaseUpdate::run(const QDate &newDbVersion, bool copyOwnModels, const QString &rcTypeList)
{
    WorkFolder work;
    if (!work.create())
        qCWarning(lcDatabase).noquote() << work.errorString();
    UntrustedFile package;
    const bool taken = package.open(Paths::databasePackagePath()) == UntrustedFile::Outcome::Taken;
    return run(newDbVersion, copyOwnModels, rcTypeList, taken ? package.file().get() : nullptr,
               work.path());
}

bool DatabaseUpdate::run(const QDate &newDbVersion, bool copyOwnModels, const QString &rcTypeList,
                         QFile *package, const QString &workFolder)
{
    emit statusText(translated(QT_TRANSLATE_NOOP("Thread", "Database updating...")));
    DatabaseBackup::prune(Paths::backupFolder(), QDate::currentDate());
    emit progress(Contract::Progress::backupBegun, Contract::Progress::total);

    const QString archive =
        DatabaseBackup::archivePath(Paths::backupFolder(), QDateTime::currentDateTime());
    DatabaseBackup backup(Paths::installedDatabasePath(), archive);
    if (!backup.begin()) {
        qCWarning(lcDatabase).noquote() << "Backup" << archive << "failed:" << backup.errorString();
        return reportFailure({Contract::Status::backupFailed, cantCreateBackup});
    }
    // From here until the new file is in place nobody else uses ../rc.db: the backup reads one
    // committed state, and no other program's write lands in a file that is about to go.
    CurrentDatabase current(Paths::installedDatabasePath());
    current.setWait(m_busyWaitMs);
    if (!current.acquire()) {
        qCWarning(lcDatabase).noquote() << "Current database:" << current.errorString();
        return reportFailure({Contract::Status::databaseFailed, cantOpenCurrent});
    }
    // The backup is written beside the unpacking and the merge; a failed backup ends the step as
    // before, with nothing changed.
    ParallelBackup backingUp(backup);
    connect(&backingUp, &ParallelBackup::progress, this, &DatabaseUpdate::progress);
    backingUp.start();
    unpackRelease(package, releaseFolder(workFolder, current.filePath()));
    const Failure merge =
        mergeAndApplyVisibility(current.database(), copyOwnModels, rcTypeList, backingUp);
    if (!backingUp.wait()) {
        qCWarning(lcDatabase).noquote()
            << "Backup" << archive << "failed:" << backingUp.errorString();
        QFile::remove(m_release);
        return reportFailure({Contract::Status::backupFailed, cantCreateBackup});
    }
    if (merge.text)
        return reportFailure(merge);
    if (!replaceInstalledDatabase(current))
        return false;
    Settings::recordVersion(Settings::Key::database, newDbVersion);
    emit progress(Contract::Progress::databaseInPlace, Contract::Progress::total);
    return true;
}

// The release reaches the user's file by a rename, so it must lie beside it: a linked ../rc.db
// whose file is elsewhere gets a work folder there.
QString DatabaseUpdate::releaseFolder(const QString &workFolder, const QString &databaseFile)
{
    const QString wanted = QFileInfo(QFileInfo(databaseFile).absolutePath()).canonicalFilePath();
    if (!workFolder.isEmpty() &&
        QFileInfo(QFileInfo(workFolder).absolutePath()).canonicalFilePath() == wanted)
        return workFolder;
    m_ownWork = std::make_unique<WorkFolder>();
    if (!m_ownWork->create(wanted))
        qCWarning(lcDatabase).noquote() << m_ownWork->errorString();
    return m_ownWork->path();
}

DatabaseUpdate::Failure DatabaseUpdate::mergeAndApplyVisibility(const QSqlDatabase &current,
                                                                bool copyOwnModels,
                                                                const QString &rcTypeList,
                                                                ParallelBackup &backup)
{
    if (!isRegularFile(m_release))
        return {Contract::Status::databaseFailed, cantOpenNew};
    SqlConnection target(m_release, m_release);
    if (!target.open()) {
        qCWarning(lcDatabase).noquote() << "New database:" << target.errorString();
        return {Contract::Status::databaseFailed, cantOpenNew};
    }

    SqlConnection::useAsScratch(target.database());

    OwnModelMerge merge(current, target.database());
    connect(&merge, &OwnModelMerge::progress, &backup, &ParallelBackup::report);
    // The user's file may only change once the backup holds its bytes.
    merge.setBeforeChangingCurrent([&backup] { return backup.wait(); });
    if (!merge.run(copyOwnModels))
        return {Contract::Status::databaseFailed, cantEdit};
    qCDebug(lcDatabase) << "Own models merged";
    Visibility visibility(target.database());
    if (!visibility.apply(rcTypeList))
        return {Contract::Status::databaseFailed, cantEdit};
    qCDebug(lcDatabase) << "Visibility set";
    return {};
}

// ../rc.db is always either the old or the new database: the merged file, on the disk and with
// the old file's owner and mode, is renamed over it in one step.
bool DatabaseUpdate::replaceInstalledDatabase(CurrentDatabase &current)
{
    if (current.replaceWith(m_release)) {
        qCDebug(lcDatabase) << "New database in place";
        return true;
    }
    qCWarning(lcDatabase).noquote() << "New database not in place:" << current.errorString();
    return reportFailure(
        {Contract::Status::replaceFailed, current.renameFailed() ? cantRename : cantCopy});
}
