#include "database/databaseupdate.h"

#include <memory>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QSqlQuery>

#include "common/filereplace.h"
#include "common/logging.h"
#include "common/paths.h"
#include "common/settings.h"
#include "common/zipextract.h"
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

// A new database or journal left by an earlier run must never pass for this package's.
void unpackNewDatabase(QFile *package)
{
    QFile::remove(Paths::newDatabasePath());
    QFile::remove(Paths::newDatabaseJournalPath());
    // A missing or broken package shows as a missing new database later on.
    QString error;
    if (package && !Zip::extractAll(*package, Paths::updateFolder(), &error))
        qCWarning(lcDatabase).noquote() << "Database package not extracted:" << error;
}

} // namespace

DatabaseUpdate::DatabaseUpdate(QObject *parent) : QObject(parent) {}

bool DatabaseUpdate::fail(int code, const char *text)
{
    emit status(code);
    emit statusText(translated(text));
    return false;
}

bool DatabaseUpdate::run(const QDate &newDbVersion, bool copyOwnModels, const QString &rcTypeList)
{
    QFile package(Paths::databasePackagePath());
    const bool present = package.open(QIODevice::ReadOnly);
    return run(newDbVersion, copyOwnModels, rcTypeList, present ? &package : nullptr);
}

bool DatabaseUpdate::run(const QDate &newDbVersion, bool copyOwnModels, const QString &rcTypeList,
                         QFile *package)
{
    emit statusText(translated(QT_TRANSLATE_NOOP("Thread", "Database updating...")));
    DatabaseBackup::prune(Paths::backupFolder(), QDate::currentDate());
    emit progress(100, progressTotal);

    finishInterruptedTransaction();
    const QString archive =
        DatabaseBackup::archivePath(Paths::backupFolder(), QDateTime::currentDateTime());
    DatabaseBackup backup(Paths::installedDatabasePath(), archive);
    QString error;
    if (!backup.begin(&error)) {
        qCDebug(lcDatabase).noquote() << "Backup" << archive << "failed:" << error;
        return fail(-1, cantCreateBackup);
    }
    // Compressing is the longest step before the merge, so the package is unpacked meanwhile:
    // that only writes below ../update-tmp/, and ../rc.db stays untouched until the backup is
    // complete.
    std::unique_ptr<QThread> unpacking(QThread::create(unpackNewDatabase, package));
    unpacking->start();
    const bool backedUp = backup.finish(&error);
    if (backedUp)
        emit progress(200, progressTotal);
    unpacking->wait();
    if (!backedUp) {
        qCDebug(lcDatabase).noquote() << "Backup" << archive << "failed:" << error;
        QFile::remove(Paths::newDatabasePath());
        return fail(-1, cantCreateBackup);
    }
    emit progress(300, progressTotal);

    if (!mergeAndApplyVisibility(copyOwnModels, rcTypeList))
        return false;
    if (!replaceInstalledDatabase())
        return false;
    Settings::recordVersion(Settings::Key::database, newDbVersion);
    emit progress(800, progressTotal);
    return true;
}

bool DatabaseUpdate::mergeAndApplyVisibility(bool copyOwnModels, const QString &rcTypeList)
{
    if (!QFileInfo(Paths::installedDatabasePath()).isFile())
        return fail(-2, cantOpenCurrent);
    SqlConnection current(QStringLiteral("curDB"), Paths::installedDatabasePath());
    if (!current.open()) {
        qCDebug(lcDatabase).noquote() << "Current database:" << current.errorString();
        return fail(-2, cantOpenCurrent);
    }
    if (!QFileInfo(Paths::newDatabasePath()).isFile())
        return fail(-2, cantOpenNew);
    SqlConnection target(Paths::newDatabasePath(), Paths::newDatabasePath());
    if (!target.open()) {
        qCDebug(lcDatabase).noquote() << "New database:" << target.errorString();
        return fail(-2, cantOpenNew);
    }

    // The new file is scratch until the copy of it, flushed to disk, takes the place of ../rc.db;
    // after a crash it is unpacked again. Waiting for the disk on every commit gains nothing.
    QSqlQuery(target.database()).exec(QStringLiteral("PRAGMA synchronous=OFF"));

    OwnModelMerge merge(current.database(), target.database());
    connect(&merge, &OwnModelMerge::progress, this, &DatabaseUpdate::progress);
    if (!merge.run(copyOwnModels))
        return fail(-2, cantEdit);
    if (!Visibility::apply(target.database(), rcTypeList))
        return fail(-2, cantEdit);
    qCDebug(lcDatabase) << "Visibility set";
    return true;
}

// A program that died while writing ../rc.db leaves a hot journal beside it, and the file alone
// is then half old, half new. Opening it once lets SQLite roll the journal back, so that the
// backup holds the database as it was last committed rather than the torn file.
void DatabaseUpdate::finishInterruptedTransaction()
{
    const QString journal = Paths::installedDatabasePath() + QStringLiteral("-journal");
    if (!QFileInfo(journal).isFile() || !QFileInfo(Paths::installedDatabasePath()).isFile())
        return;
    SqlConnection recovery(QStringLiteral("recovery"), Paths::installedDatabasePath());
    if (recovery.open())
        qCDebug(lcDatabase).noquote()
            << "Rolled back an interrupted transaction of" << Paths::installedDatabasePath();
    else
        qCDebug(lcDatabase).noquote()
            << "Can not roll back" << journal << ":" << recovery.errorString();
}

// ../rc.db is always either the old or the new database: the merged file is copied beside it
// and renamed over it in one step.
bool DatabaseUpdate::replaceInstalledDatabase()
{
    bool renameFailed = false;
    QString error;
    if (FileReplace::copyOver(Paths::newDatabasePath(), Paths::installedDatabasePath(),
                              &renameFailed, &error)) {
        qCDebug(lcDatabase) << "New database in place";
        return true;
    }
    qCDebug(lcDatabase).noquote() << "New database not in place:" << error;
    return fail(-3, renameFailed ? cantRename : cantCopy);
}
