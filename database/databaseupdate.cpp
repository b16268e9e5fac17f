#include "database/databaseupdate.h"

#include <memory>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <QThread>

#include "common/checkpoint.h"
#include "common/filereplace.h"
#include "common/logging.h"
#include "common/paths.h"
#include "common/settings.h"
#include "common/untrustedfile.h"
#include "common/workfolder.h"
#include "common/zipextract.h"
#include "database/currentdatabase.h"
#include "database/databasebackup.h"
#include "database/ownmodelmerge.h"
#include "database/sqlconnection.h"
#include "database/visibility.h"

namespace {

constexpr int progressTotal = 1000;

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
    QString error;
    // The release is scratch until, merged, it goes to the disk and takes the place of ../rc.db.
    if (package && !m_release.isEmpty() &&
        !Zip::extractAll(*package, workFolder, &error, nullptr, Zip::Durability::Scratch))
        qCWarning(lcDatabase).noquote() << "Database package not extracted:" << error;
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

bool DatabaseUpdate::fail(int code, const char *text)
{
    if (m_backup) {
        if (!m_heldFailure.text)
            m_heldFailure = {code, text};
        return false;
    }
    emit status(code);
    emit statusText(translated(text));
    return false;
}

// Reports made while the backup runs wait for it; once it has succeeded they go out in order.
void DatabaseUpdate::report(int current, int total)
{
    if (m_backup && m_backup->isFinished() && *m_backedUp)
        releaseHeldReports();
    if (m_backup)
        m_heldProgress.append({current, total});
    else
        emit progress(current, total);
}

void DatabaseUpdate::releaseHeldReports()
{
    m_backup = nullptr;
    emit progress(200, progressTotal);
    emit progress(300, progressTotal);
    for (const auto &held : std::as_const(m_heldProgress))
        emit progress(held.first, held.second);
    m_heldProgress.clear();
}

// The user's file may only change once the backup holds its bytes.
bool DatabaseUpdate::waitForBackup()
{
    if (!m_backup)
        return true;
    m_backup->wait();
    return *m_backedUp;
}

bool DatabaseUpdate::run(const QDate &newDbVersion, bool copyOwnModels, const QString &rcTypeList)
{
    WorkFolder work;
    if (!work.create())
        qCWarning(lcDatabase).noquote() << work.errorString();
    std::shared_ptr<QFile> package;
    QString why;
    const bool taken = UntrustedFile::open(Paths::databasePackagePath(), &package, &why) ==
                       UntrustedFile::Outcome::Taken;
    return run(newDbVersion, copyOwnModels, rcTypeList, taken ? package.get() : nullptr,
               work.path());
}

bool DatabaseUpdate::run(const QDate &newDbVersion, bool copyOwnModels, const QString &rcTypeList,
                         QFile *package, const QString &workFolder)
{
    emit statusText(translated(QT_TRANSLATE_NOOP("Thread", "Database updating...")));
    DatabaseBackup::prune(Paths::backupFolder(), QDate::currentDate());
    emit progress(100, progressTotal);

    const QString archive =
        DatabaseBackup::archivePath(Paths::backupFolder(), QDateTime::currentDateTime());
    DatabaseBackup backup(Paths::installedDatabasePath(), archive);
    QString error;
    if (!backup.begin(&error)) {
        qCWarning(lcDatabase).noquote() << "Backup" << archive << "failed:" << error;
        return fail(-1, cantCreateBackup);
    }
    // From here until the new file is in place nobody else uses ../rc.db: the backup reads one
    // committed state, and no other program's write lands in a file that is about to go.
    CurrentDatabase current(Paths::installedDatabasePath());
    current.setWait(m_busyWaitMs);
    if (!current.acquire()) {
        qCWarning(lcDatabase).noquote() << "Current database:" << current.errorString();
        return fail(-2, cantOpenCurrent);
    }
    // Compressing takes as long as the merge, so it runs beside the unpacking and the merge: both
    // only read ../rc.db, or write in the work folder. What the user sees keeps its order: the
    // merge's reports are held back until the backup is complete, and a failed backup ends the
    // step as before, with nothing changed.
    bool backedUp = false;
    std::unique_ptr<QThread> backingUp(QThread::create([&backup, &backedUp, &error] {
        backedUp = backup.finish(&error);
        if (backedUp)
            qCDebug(lcDatabase) << "Backup written";
    }));
    backingUp->start();
    m_backup = backingUp.get();
    m_backedUp = &backedUp;
    m_heldProgress.clear();
    m_heldFailure = {};
    unpackRelease(package, releaseFolder(workFolder, current.filePath()));
    const bool merged = mergeAndApplyVisibility(current.database(), copyOwnModels, rcTypeList);
    backingUp->wait();
    const bool released = !m_backup;
    m_backup = nullptr;
    if (!backedUp) {
        qCWarning(lcDatabase).noquote() << "Backup" << archive << "failed:" << error;
        QFile::remove(m_release);
        return fail(-1, cantCreateBackup);
    }
    if (!released)
        releaseHeldReports();
    if (!merged)
        return m_heldFailure.text ? fail(m_heldFailure.code, m_heldFailure.text) : false;
    if (!replaceInstalledDatabase(current))
        return false;
    Settings::recordVersion(Settings::Key::database, newDbVersion);
    emit progress(800, progressTotal);
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

bool DatabaseUpdate::mergeAndApplyVisibility(const QSqlDatabase &current, bool copyOwnModels,
                                             const QString &rcTypeList)
{
    if (!isRegularFile(m_release))
        return fail(-2, cantOpenNew);
    SqlConnection target(m_release, m_release);
    if (!target.open()) {
        qCWarning(lcDatabase).noquote() << "New database:" << target.errorString();
        return fail(-2, cantOpenNew);
    }

    SqlConnection::useAsScratch(target.database());

    OwnModelMerge merge(current, target.database());
    connect(&merge, &OwnModelMerge::progress, this, &DatabaseUpdate::report);
    merge.setBeforeChangingCurrent([this] { return waitForBackup(); });
    if (!merge.run(copyOwnModels))
        return fail(-2, cantEdit);
    qCDebug(lcDatabase) << "Own models merged";
    if (!Visibility::apply(target.database(), rcTypeList))
        return fail(-2, cantEdit);
    qCDebug(lcDatabase) << "Visibility set";
    return true;
}

// ../rc.db is always either the old or the new database: the merged file, on the disk and with
// the old file's owner and mode, is renamed over it in one step.
bool DatabaseUpdate::replaceInstalledDatabase(CurrentDatabase &current)
{
    bool renameFailed = false;
    QString error;
    if (current.replaceWith(m_release, &renameFailed, &error)) {
        qCDebug(lcDatabase) << "New database in place";
        return true;
    }
    qCWarning(lcDatabase).noquote() << "New database not in place:" << error;
    return fail(-3, renameFailed ? cantRename : cantCopy);
}
