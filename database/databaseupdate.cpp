#include "database/databaseupdate.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include "common/filereplace.h"
#include "common/logging.h"
#include "common/paths.h"
#include "common/settings.h"
#include "common/ziparchive.h"
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
    emit statusText(translated(QT_TRANSLATE_NOOP("Thread", "Database updating...")));
    DatabaseBackup::prune(Paths::backupFolder(), QDate::currentDate());
    emit progress(100, progressTotal);

    if (!backUp())
        return fail(-1, cantCreateBackup);
    emit progress(200, progressTotal);

    QFile::remove(Paths::newDatabasePath());
    QFile::remove(Paths::newDatabaseJournalPath());
    // A missing or broken package shows as a missing new database below.
    QString error;
    if (!Zip::extractAll(Paths::databasePackagePath(), Paths::updateFolder(), &error))
        qCDebug(lcDatabase).noquote() << "Database package not extracted:" << error;
    emit progress(300, progressTotal);

    if (!mergeAndApplyVisibility(copyOwnModels, rcTypeList))
        return false;
    if (!replaceInstalledDatabase())
        return false;
    Settings::recordVersion(Settings::Key::database, newDbVersion);
    emit progress(800, progressTotal);
    return true;
}

bool DatabaseUpdate::backUp()
{
    const QString archive =
        DatabaseBackup::archivePath(Paths::backupFolder(), QDateTime::currentDateTime());
    QString error;
    if (DatabaseBackup::write(Paths::installedDatabasePath(), archive, &error))
        return true;
    qCDebug(lcDatabase).noquote() << "Backup" << archive << "failed:" << error;
    return false;
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

    OwnModelMerge merge(current.database(), target.database());
    connect(&merge, &OwnModelMerge::progress, this, &DatabaseUpdate::progress);
    if (!merge.run(copyOwnModels))
        return fail(-2, cantEdit);
    if (!Visibility::apply(target.database(), rcTypeList))
        return fail(-2, cantEdit);
    return true;
}

// ../rc.db is always either the old or the new database: the merged file is copied beside it
// and renamed over it in one step.
bool DatabaseUpdate::replaceInstalledDatabase()
{
    bool renameFailed = false;
    QString error;
    if (FileReplace::copyOver(Paths::newDatabasePath(), Paths::installedDatabasePath(),
                              &renameFailed, &error))
        return true;
    qCDebug(lcDatabase).noquote() << "New database not in place:" << error;
    return fail(-3, renameFailed ? cantRename : cantCopy);
}
