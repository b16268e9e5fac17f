#include "engine/thread.h"

#include <QFile>
#include <QFileInfo>

#include "common/filereplace.h"
#include "common/logging.h"
#include "common/paths.h"
#include "common/rctypes.h"
#include "common/settings.h"
#include "common/versiondate.h"
#include "common/ziparchive.h"
#include "database/databaseupdate.h"

namespace {
constexpr int progressTotal = 1000;
}

Thread::Thread(QObject *parent) : QThread(parent)
{
    // Everything the user is told goes to the support log as it is said, on the worker
    // thread: in automatic mode the window is gone before a failure's text could be shown.
    connect(
        this, &Thread::msgToStatusLabel, this,
        [](const QString &text) { qCInfo(lcUpdate).noquote() << "text:" << text; },
        Qt::DirectConnection);
    connect(
        this, &Thread::msgToUpdateStatus, this,
        [](int status) { qCInfo(lcUpdate).noquote() << "status:" << status; },
        Qt::DirectConnection);
    // One line per own model would flood the log: every twentieth of the way is enough.
    connect(
        this, &Thread::msgToPtogressBar, this,
        [last = -1](int current, int total) mutable {
            if (last < 0 || current == 0 || current == total || current / 50 != last / 50) {
                qCInfo(lcUpdate).noquote() << "progress:" << current << "of" << total;
                last = current;
            }
        },
        Qt::DirectConnection);
}

Thread::~Thread() = default;

void Thread::FinishProc()
{
    // Never connected; ending a running worker's life would pull the thread from under run().
    if (isRunning())
        return;
    this->~Thread();
}

void Thread::run()
{
    const Settings::Installed installed = Settings::readInstalled();
    rcTypeList = rcTypeListFrom(installed.rcTypes);
    const Settings::Offered offered = Settings::readOffered();

    emit msgToPtogressBar(0, progressTotal);

    // The upload never decides anything about the update: its outcome goes to the debug
    // channel only.
    client.makeUpdate(installed.serverHost, offered.updateMode);

    const bool mainNewer = VersionDate::isLater(offered.main, installed.main);
    const bool databaseNewer = VersionDate::isLater(offered.database, installed.database);
    const bool otherNewer = VersionDate::isLater(offered.other, installed.other);
    qCDebug(lcUpdate) << "Newer: main" << mainNewer << "database" << databaseNewer << "other"
                      << otherNewer;

    if (!mainNewer && !databaseNewer && !otherNewer) {
        emit msgToUpdateStatus(1);
        emit msgToStatusLabel(tr("You have new software version. No need update."));
        return;
    }
    if (databaseNewer && !updateDatabase(offered.database, true))
        return;
    if (mainNewer)
        installExecutable(installed.softwareName, offered.main);
    installOtherFiles(installed.distributor, offered.other);
}

bool Thread::updateDatabase(QDate newDbVersion, bool copyOwnModels)
{
    DatabaseUpdate update;
    connect(&update, &DatabaseUpdate::progress, this, &Thread::msgToPtogressBar,
            Qt::DirectConnection);
    connect(&update, &DatabaseUpdate::status, this, &Thread::msgToUpdateStatus,
            Qt::DirectConnection);
    connect(&update, &DatabaseUpdate::statusText, this, &Thread::msgToStatusLabel,
            Qt::DirectConnection);
    return update.run(newDbVersion, copyOwnModels, rcTypeList);
}

void Thread::installExecutable(const QString &softwareName, const QDate &offeredMain)
{
    emit msgToStatusLabel(tr("exe file updating..."));

    const QString package = QFileInfo::exists(Paths::mainPackagePath())
                                ? Paths::mainPackagePath()
                                : Paths::productPackagePath();
    // A software.exe left behind by an earlier run must not pass for this package's.
    QFile::remove(Paths::extractedExecutablePath());

    QString error;
    if (!Zip::extractAll(package, Paths::installationFolder(), &error)) {
        qCDebug(lcUpdate).noquote() << "Executable package not installed:" << error;
        return;
    }
    // The old executable goes only when the new one takes its place in the same step, so the
    // installation always has one; the version follows the file, never the attempt.
    if (!QFileInfo(Paths::extractedExecutablePath()).isFile()) {
        qCDebug(lcUpdate).noquote() << package << "holds no software.exe; executable kept";
        return;
    }
    const QString installedPath = Paths::installedExecutablePath(softwareName);
    if (!FileReplace::renameOver(Paths::extractedExecutablePath(), installedPath, &error)) {
        qCDebug(lcUpdate).noquote() << "Can not replace" << installedPath << ":" << error;
        return;
    }
    Settings::recordVersion(Settings::Key::main, offeredMain);
}

void Thread::installOtherFiles(const QString &distributor, const QDate &offeredOther)
{
    emit msgToPtogressBar(900, progressTotal);
    emit msgToStatusLabel(tr("All other files updating..."));

    QString error;
    if (Zip::extractAll(Paths::otherPackagePath(), Paths::installationFolder(), &error))
        Settings::recordVersion(Settings::Key::other, offeredOther);
    else
        qCDebug(lcUpdate).noquote() << "Other files not installed:" << error;

    if (!distributor.isEmpty()) {
        emit msgToStatusLabel(tr("All other files updating..."));
        if (!Zip::extractAll(Paths::distributorPackagePath(distributor),
                             Paths::installationFolder(), &error))
            qCDebug(lcUpdate).noquote() << "Distributor files not installed:" << error;
    }

    emit msgToPtogressBar(progressTotal, progressTotal);
    emit msgToStatusLabel(tr("All updates have been installed."));
    emit msgToUpdateStatus(0);
}
