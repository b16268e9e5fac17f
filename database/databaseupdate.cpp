#include "database/databaseupdate.h"

#include <memory>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include "common/contract.h"
#include "common/diagnostics/checkpoint.h"
#include "common/files/platform.h"
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
#include "database/stepprogress.h"
#include "database/visibility.h"

namespace {

const char *const cantCreateBackup = QT_TRANSLATE_NOOP("Thread", "Can't create backup.");
const char *const cantOpenCurrent = QT_TRANSLATE_NOOP("Thread", "Can not open current database.");
const char *const cantOpenNew = QT_TRANSLATE_NOOP("Thread", "Can not open new database.");
const char *const cantEdit = QT_TRANSLATE_NOOP("Thread", "Can not edit database.");
const char *const cantRename = QT_TRANSLATE_NOOP("Thread", "Can't copy new database");
const char *const cantCopy = QT_TRANSLATE_NOOP("Thread", "Can't copy new database1");

// Between the merge (700) and the new file recorded (800): the visibility rule, and the file put
// on the disk and in place.
constexpr int visibilitySet = 750;
constexpr int inPlace = 790;

DatabaseUpdate::Result failed(int status, const char *text, const QString &cause)
{
    return {status, QCoreApplication::translate("Thread", text), cause};
}

DatabaseUpdate::Result backupFailed(const QString &cause)
{
    return failed(Contract::Status::backupFailed, cantCreateBackup, cause);
}

DatabaseUpdate::Result databaseFailed(const char *text, const QString &cause)
{
    return failed(Contract::Status::databaseFailed, text, cause);
}

// Where older versions unpacked the release, with the files SQLite keeps beside it.
const QString legacyRelease = QFileInfo(Paths::legacyReleasePath()).fileName();
const QStringList olderUnpacked = {legacyRelease, legacyRelease + QStringLiteral("-journal"),
                                   legacyRelease + QStringLiteral("-wal"),
                                   legacyRelease + QStringLiteral("-shm")};

} // namespace

DatabaseUpdate::DatabaseUpdate(QObject *parent) : QObject(parent) {}

DatabaseUpdate::~DatabaseUpdate() = default;

// The release is unpacked into the run's own folder, never into ../update-tmp/, where anybody
// could swap it after the check. What earlier runs unpacked there is removed all the same, so
// that nothing outside the updater mistakes it for the installed catalogue. A missing or broken
// package shows as a missing release later on; the reason is kept for that moment.
void DatabaseUpdate::unpackRelease(QFile *package, Platform::Folder *downloads, WorkFolder &work,
                                   ParallelBackup &backup)
{
    if (downloads) {
        for (const QString &name : olderUnpacked)
            downloads->remove(name);
    }
    m_releaseProblem =
        package ? QString() : QStringLiteral("%1 is missing").arg(Paths::databasePackagePath());
    // The release is scratch until, merged, it goes to the disk and takes the place of ../rc.db.
    Zip::Extractor extractor(work.folder(), Zip::Extractor::Durability::Scratch);
    StepProgress progress(
        Contract::Progress::backedUp, Contract::Progress::unpacked,
        [&backup](int current) { backup.report(current, Contract::Progress::total); });
    extractor.setProgress([&progress](qint64 done, qint64 total) { progress.reach(done, total); });
    if (package && !extractor.extractAll(*package, Paths::databasePackagePath()))
        m_releaseProblem = extractor.errorString();
    progress.finish();
    // SQLite would apply a journal or WAL lying beside the release, whoever's it is: the package
    // brings the database alone.
    for (const char *suffix : {"-journal", "-wal", "-shm"}) {
        const QString name = Paths::releaseFileName() + QLatin1String(suffix);
        if (work.folder().infoOf(name).exists() && work.folder().removeTree(name))
            qCDebug(lcDatabase).noquote() << "Removed" << name << "that came with the package";
    }
    qCDebug(lcDatabase) << "Release unpacked";
    Checkpoint::reach(QStringLiteral("database unpacked"));
}

DatabaseUpdate::Result DatabaseUpdate::run(const QDate &newDbVersion, bool copyOwnModels,
                                           const QString &rcTypeList, QFile *package,
                                           Platform::Folder *downloads, WorkFolder *work)
{
    emit statusText(QCoreApplication::translate("Thread", "Database updating..."));
    Platform::Folder backupFolder;
    const bool haveBackupFolder = backupFolder.open(Paths::backupFolder());
    if (haveBackupFolder)
        DatabaseBackup::prune(backupFolder, QDate::currentDate());
    emit progress(Contract::Progress::backupBegun, Contract::Progress::total);
    if (!haveBackupFolder)
        return backupFailed(backupFolder.errorString());
    // Run as root, a backup folder that others can write would let them read or lead the copy.
    if (Platform::isPrivileged() && backupFolder.othersMayWrite())
        return backupFailed(QStringLiteral("the folder %1 can be written by other accounts")
                                .arg(Paths::backupFolder()));

    // Opened once, and held until the new file is in place: the backup reads through this very
    // descriptor, so that no close of another one drops the hold (see CurrentDatabase).
    CurrentDatabase current(Paths::installedDatabasePath());
    current.setWait(m_busyWaitMs);
    if (!current.open())
        return current.folderUnsafe() ? databaseFailed(cantOpenCurrent, current.errorString())
                                      : backupFailed(current.errorString());
    const QString archive = DatabaseBackup::archiveName(QDateTime::currentDateTime());
    DatabaseBackup backup(backupFolder, archive);
    if (!backup.begin(current.info()))
        return backupFailed(backup.errorString());
    // From here until the new file is in place nobody else uses ../rc.db: the backup reads one
    // committed state, and no other program's write lands in a file that is about to go.
    if (!current.acquire())
        return databaseFailed(cantOpenCurrent, current.errorString());
    Checkpoint::reach(QStringLiteral("database held"));
    qCInfo(lcDatabase).noquote() << "Backup:" << Paths::backupFolder() + QLatin1Char('/') + archive;

    // The backup is written beside the unpacking and the merge; a failed backup ends the step as
    // before, with nothing changed.
    ParallelBackup backingUp(backup, current.file(), current.info());
    connect(&backingUp, &ParallelBackup::progress, this, &DatabaseUpdate::progress);
    backingUp.start();
    Result failure;
    WorkFolder *release = releaseFolder(work, current, &failure);
    Result merged = failure;
    if (release) {
        unpackRelease(package, downloads, *release, backingUp);
        merged = mergeAndApplyVisibility(current.database(), *release, copyOwnModels, rcTypeList,
                                         backingUp);
    }
    if (!backingUp.wait()) {
        if (release)
            release->folder().remove(Paths::releaseFileName());
        return backupFailed(QStringLiteral("%1: %2").arg(
            Paths::backupFolder() + QLatin1Char('/') + archive, backingUp.errorString()));
    }
    if (!merged)
        return merged;
    Checkpoint::reach(QStringLiteral("database ready"));
    // ../rc.db is always either the old or the new database: the merged file, on the disk and
    // with the old file's owner and mode, is renamed over it in one step.
    if (!current.replaceWith(release->folder(), Paths::releaseFileName()))
        return failed(
            Contract::Status::replaceFailed, current.renameFailed() ? cantRename : cantCopy,
            QStringLiteral("%1: %2").arg(Paths::installedDatabasePath(), current.errorString()));
    qCDebug(lcDatabase) << "New database in place";
    emit progress(inPlace, Contract::Progress::total);
    Result inPlaceResult;
    if (const Settings::Recorded recorded =
            Settings::recordVersion(Settings::Key::database, newDbVersion);
        !recorded)
        inPlaceResult.cause = QStringLiteral("its version could not be recorded in %1: %2")
                                  .arg(Paths::installedConfigPath(), recorded.errorString);
    emit progress(Contract::Progress::databaseInPlace, Contract::Progress::total);
    return inPlaceResult;
}

// The release reaches the user's file by a rename, so it must lie beside it: a linked ../rc.db
// whose file is elsewhere gets a work folder there.
WorkFolder *DatabaseUpdate::releaseFolder(WorkFolder *work, CurrentDatabase &current,
                                          Result *failure)
{
    if (work && work->isValid() && work->liesIn(current.folder()))
        return work;
    m_ownWork = std::make_unique<WorkFolder>();
    if (m_ownWork->create(current.folder()))
        return m_ownWork.get();
    *failure = databaseFailed(cantOpenNew, m_ownWork->errorString());
    return nullptr;
}

DatabaseUpdate::Result DatabaseUpdate::mergeAndApplyVisibility(const QSqlDatabase &current,
                                                               WorkFolder &work, bool copyOwnModels,
                                                               const QString &rcTypeList,
                                                               ParallelBackup &backup)
{
    // Only a regular file of the work folder is worked on: a link unpacked under the release's
    // name would lead the merge, and the final rename, to some other file.
    const Platform::FileInfo unpacked = work.folder().infoOf(Paths::releaseFileName());
    if (!unpacked.isFile())
        return databaseFailed(
            cantOpenNew,
            !m_releaseProblem.isEmpty() ? m_releaseProblem
            : unpacked.exists()
                ? QStringLiteral("rc.db in %1 is not a file").arg(Paths::databasePackagePath())
                : QStringLiteral("%1 holds no entry rc.db").arg(Paths::databasePackagePath()));
    const QString release = work.folder().pathTo(Paths::releaseFileName());
    SqlConnection target(release, release);
    if (!target.open())
        return databaseFailed(cantOpenNew,
                              QStringLiteral("the release is damaged: ") + target.errorString());

    SqlConnection::useAsScratch(target.database());

    OwnModelMerge merge(current, target.database());
    connect(&merge, &OwnModelMerge::progress, &backup, &ParallelBackup::report);
    // The user's file may only change once the backup holds its bytes.
    merge.setBeforeChangingCurrent([&backup] { return backup.wait(); });
    if (!merge.run(copyOwnModels))
        return databaseFailed(cantEdit, QStringLiteral("merge: ") + merge.errorString());
    qCDebug(lcDatabase) << "Own models merged";
    Checkpoint::reach(QStringLiteral("own models merged"));
    Visibility visibility(target.database());
    StepProgress progress(Contract::Progress::merged, visibilitySet, [&backup](int current) {
        backup.report(current, Contract::Progress::total);
    });
    visibility.setProgress([&progress](qint64 done, qint64 total) { progress.reach(done, total); });
    if (!visibility.apply(rcTypeList))
        return databaseFailed(cantEdit, QStringLiteral("visibility: ") + visibility.errorString());
    qCDebug(lcDatabase) << "Visibility set";
    progress.finish();
    return {};
}
