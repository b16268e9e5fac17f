#include "engine/thread.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "common/contract.h"
#include "common/diagnostics/checkpoint.h"
#include "common/logging.h"
#include "common/paths.h"
#include "common/rctypes.h"
#include "common/settings/settings.h"
#include "common/versiondate.h"
#include "common/zip/zipextract.h"
#include "database/databaseupdate.h"

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
    // One line per own model would flood the log: a line for every hundredth of the way shows
    // when the bar moved (bench/progress.sh reads them).
    connect(
        this, &Thread::msgToPtogressBar, this,
        [last = -1](int current, int total) mutable {
            if (last < 0 || current == 0 || current == total || current - last >= total / 100) {
                qCInfo(lcUpdate).noquote() << "progress:" << current << "of" << total;
                last = current;
            }
        },
        Qt::DirectConnection);
}

Thread::~Thread() = default;

void Thread::FinishProc()
{
    // Never connected. Ending the worker's life in place would leave the dialog's deleteLater
    // (or anyone else's) a destroyed object to destroy again; handing it to the event loop ends
    // it once, however often this is reached, and never under a running run().
    if (isRunning())
        return;
    deleteLater();
}

namespace {

QString dateText(const QDate &date)
{
    return date.isValid() ? VersionDate::toSetting(date) : QStringLiteral("none");
}

} // namespace

void Thread::run()
{
    finish(runSteps());
}

// The whole sequence, step by step; each way out says how the run ends, and run() reports it.
Thread::Ending Thread::runSteps()
{
    m_refusals.clear();
    m_offer = Offer();
    m_busy = false;
    m_nothingTried = nullptr;
    if (!beginRun())
        return refusedOrInstalled();
    const Settings::Installed installed = Settings::readInstalled();
    rcTypeList = rcTypeListFrom(installed.rcTypes);
#ifdef Q_OS_WIN
    removeExecutableSetAside(installed.softwareName);
#endif
    m_offer = Offer::read(m_work->isValid() ? &m_work->folder() : nullptr);
    const Settings::Offered &offered = m_offer.offered();
    qCInfo(lcUpdate).noquote() << "Installed: main" << dateText(installed.main) << "database"
                               << dateText(installed.database) << "other"
                               << dateText(installed.other);
    qCInfo(lcUpdate).noquote() << "Offered: main" << dateText(offered.main) << "database"
                               << dateText(offered.database) << "other" << dateText(offered.other)
                               << "upload mode" << offered.updateMode
                               << (m_offer.isVerifying() ? "(signed offers only)"
                                                         : "(no package key: nothing is checked)");

    emit msgToPtogressBar(Contract::Progress::started, Contract::Progress::total);

    // The upload never decides anything about the update: what became of it goes to the log
    // only. It sends the user's models to the installation's own server, whatever the offer is
    // worth.
    if (client.makeUpdate(installed.serverHost, offered.updateMode))
        qCInfo(lcUpdate).noquote() << "Upload to" << installed.serverHost << "accepted";
    else
        qCInfo(lcUpdate).noquote()
            << "Upload to" << installed.serverHost << "not made:" << client.errorString();

    // An offer that is not what the maker signed installs nothing and records nothing.
    if (!m_offer.isTrusted()) {
        refuse(QStringLiteral("The offer"), m_offer.errorString());
        m_nothingTried = QT_TR_NOOP("The offered update was refused.");
        return refusedOrInstalled();
    }

    const bool mainNewer = VersionDate::isLater(offered.main, installed.main);
    const bool databaseNewer = VersionDate::isLater(offered.database, installed.database);
    const bool otherNewer = VersionDate::isLater(offered.other, installed.other);
    qCDebug(lcUpdate) << "Newer: main" << mainNewer << "database" << databaseNewer << "other"
                      << otherNewer;

    if (!mainNewer && !databaseNewer && !otherNewer)
        return {Ending::Kind::NothingNewer, Contract::Status::nothingNewer,
                tr("You have new software version. No need update.")};
    if (databaseNewer && !updateDatabase(offered.database, true))
        return m_databaseFailure;
    if (mainNewer)
        installExecutable(installed.softwareName, offered.main);
    installOtherFiles(installed, offered.other);
    return refusedOrInstalled();
}

Thread::Ending Thread::refusedOrInstalled() const
{
    if (m_refusals.isEmpty())
        return {Ending::Kind::Finished, Contract::Status::installed,
                tr("All updates have been installed.")};
    return {Ending::Kind::Finished, Contract::Status::refused,
            m_nothingTried ? tr(m_nothingTried) : tr("Some updates could not be installed.")};
}

// Run as root, the updater writes only in folders that no other account can change: one that
// could would let that account lead root's writes to root's own files. The installation and
// the updater's own folder (its key, its log) are written or trusted by every run.
bool Thread::foldersAreSafe()
{
    if (!Platform::isPrivileged())
        return true;
    Platform::Folder updater;
    for (Platform::Folder *folder : {&m_installation, &updater}) {
        if (folder == &updater && !updater.open(QStringLiteral(".")))
            continue;
        if (folder->othersMayWrite()) {
            const QString line = QStringLiteral("Nothing installed: the folder %1 can be written "
                                                "by other accounts")
                                     .arg(QFileInfo(folder->path()).absoluteFilePath());
            qCWarning(lcUpdate).noquote() << line;
            m_refusals << line;
            m_nothingTried = QT_TR_NOOP("A folder of the installation is not safe.");
            return false;
        }
    }
    return true;
}

// The installation belongs to one run at a time; a second updater (started twice, or by the
// application while one runs) waits for the first and then gives up, touching nothing.
bool Thread::beginRun()
{
    if (!m_installation.open(Paths::installationFolder())) {
        qCWarning(lcUpdate).noquote() << "No installation:" << m_installation.errorString();
        m_refusals << m_installation.errorString();
        return false;
    }
    if (!foldersAreSafe())
        return false;
    m_lock = std::make_unique<RunLock>();
    if (!m_lock->acquire(m_installation, m_lockWaitMs)) {
        qCWarning(lcUpdate).noquote() << m_lock->errorString();
        m_refusals << m_lock->errorString();
        m_busy = m_lock->busy();
        if (m_busy)
            m_nothingTried = QT_TR_NOOP("Another update is running.");
        m_lock.reset();
        return false;
    }
    WorkFolder::removeLeftovers(m_installation);
    m_work = std::make_unique<WorkFolder>();
    if (!m_work->create(m_installation))
        qCWarning(lcUpdate).noquote() << m_work->errorString();
    return true;
}

// Everything the run holds goes before its final status: in automatic mode the dialog ends the
// process as soon as the status arrives, and no work folder may outlive its run.
void Thread::endRun()
{
    // The offer holds the work folder too, and a folder that is held can not be removed on
    // Windows.
    m_offer = Offer();
    m_work.reset();
    m_lock.reset();
    m_installation.close();
}

bool Thread::updateDatabase(QDate newDbVersion, bool copyOwnModels)
{
    // A database package that is not what was signed ends the run before the backup, like any
    // failed database update: ../rc.db and every version stay as they are.
    const Package package = m_offer.open(Paths::databasePackagePath());
    if (package.isRefused()) {
        refuse(package.path(), package.errorString());
        m_databaseFailure = refusedOrInstalled();
        return false;
    }
    DatabaseUpdate update;
    connect(&update, &DatabaseUpdate::progress, this, &Thread::msgToPtogressBar,
            Qt::DirectConnection);
    connect(&update, &DatabaseUpdate::statusText, this, &Thread::msgToStatusLabel,
            Qt::DirectConnection);
    const DatabaseUpdate::Result result = update.run(
        newDbVersion, copyOwnModels, rcTypeList, package.file(), m_offer.downloads(), m_work.get());
    if (result) {
        // In place, and installed again next time when its version could not be recorded.
        if (!result.cause.isEmpty())
            refuse(QLatin1String(Settings::Key::database), result.cause);
        return true;
    }
    qCWarning(lcUpdate).noquote() << "Database not updated:" << result.cause;
    m_databaseFailure = {Ending::Kind::DatabaseFailed, result.status, result.text};
    return false;
}

void Thread::refuse(const QString &what, const QString &why)
{
    const QString line = what + QStringLiteral(" not installed: ") + why;
    qCWarning(lcUpdate).noquote() << line;
    m_refusals << line;
}

void Thread::record(const char *key, const QDate &version)
{
    // The component is in place; a version that can not be recorded has it installed again
    // next time, and the user is told that not everything went through.
    if (const Settings::Recorded recorded = Settings::recordVersion(key, version); !recorded)
        refuse(QLatin1String(key), QStringLiteral("its version could not be recorded in %1: %2")
                                       .arg(Paths::installedConfigPath(), recorded.errorString));
}

// An absent package is nothing to install; one that is there but can not be installed is a
// refusal, and the run ends saying so. With executableName, the package's software.exe is
// installed as that file, in the same step as the rest of the package.
Thread::Unpacked Thread::unpack(const QString &packagePath, const QString &executableName)
{
    const Package package = m_offer.open(packagePath);
    if (package.isAbsent()) {
        qCDebug(lcUpdate).noquote() << "No package" << packagePath;
        return Unpacked::Absent;
    }
    if (package.isRefused()) {
        refuse(packagePath, package.errorString());
        return Unpacked::Refused;
    }
    const QString extracted = QFileInfo(Paths::extractedExecutablePath()).fileName();
    Zip::Extractor extractor(m_installation);
    if (!executableName.isEmpty())
        extractor.installAs(extracted, executableName);
    if (!extractor.extractAll(*package.file(), packagePath)) {
        refuse(packagePath, extractor.errorString());
        return Unpacked::Refused;
    }
    Checkpoint::reach(QStringLiteral("package unpacked: ") + packagePath);
    // The old executable goes only when the new one takes its place, in the same step.
    if (!executableName.isEmpty() && !extractor.installedAs(extracted)) {
        refuse(packagePath,
               QStringLiteral("it holds no %1; the executable is kept").arg(extracted));
        return Unpacked::Refused;
    }
    return Unpacked::Installed;
}

// main.zip when it is there, else the product's package; a signed offer names the one it means.
QString Thread::executablePackage() const
{
    const QString main = Paths::mainPackagePath();
    const QString product = Paths::productPackagePath();
    if (m_offer.isVerifying() && (m_offer.lists(main) || m_offer.lists(product)))
        return m_offer.lists(main) ? main : product;
    const Platform::Folder *downloads = m_offer.downloads();
    return downloads && downloads->infoOf(QFileInfo(main).fileName()).exists() ? main : product;
}

#ifdef Q_OS_WIN
// The executable that the last update renamed aside because it was running (see
// Platform::Folder::rename) goes once it has ended; while it still runs, it stays until the next
// run.
void Thread::removeExecutableSetAside(const QString &softwareName)
{
    const QString aside = Paths::executableFileName(softwareName) + Platform::Folder::asideSuffix();
    if (!Paths::isPlainName(aside) || !m_installation.infoOf(aside).isFile())
        return;
    if (m_installation.remove(aside))
        qCDebug(lcUpdate).noquote() << "Removed" << aside << "that the last update set aside";
    else
        qCWarning(lcUpdate).noquote()
            << "Can not remove" << aside << "yet:" << m_installation.errorString();
}
#endif

void Thread::installExecutable(const QString &softwareName, const QDate &offeredMain)
{
    emit msgToStatusLabel(tr("exe file updating..."));

    // The name comes from the settings and becomes a path: "../x/victim" would have the new
    // executable renamed over a file outside the installation.
    const QString executable = Paths::executableFileName(softwareName);
    if (!Paths::isPlainName(executable)) {
        refuse(
            QStringLiteral("The executable"),
            QStringLiteral("the software name \"%1\" is not a plain file name").arg(softwareName));
        return;
    }
    // With the software name "Software" the package's file is the installed one. Any other
    // software.exe is only what an earlier version of the updater left behind.
    const QString extracted = QFileInfo(Paths::extractedExecutablePath()).fileName();
    if (executable != extracted)
        m_installation.remove(extracted);
    // The version follows the file, never the attempt.
    if (unpack(executablePackage(), executable) == Unpacked::Installed)
        record(Settings::Key::main, offeredMain);
}

void Thread::installOtherFiles(const Settings::Installed &installed, const QDate &offeredOther)
{
    emit msgToPtogressBar(Contract::Progress::otherFiles, Contract::Progress::total);
    emit msgToStatusLabel(tr("All other files updating..."));

    // An older signed offer played back would roll the other files back and record the older
    // version; the maker's newer files stay.
    if (m_offer.isVerifying() && VersionDate::isLater(installed.other, offeredOther))
        qCWarning(lcUpdate).noquote()
            << Paths::otherPackagePath() << "not unpacked: the offered version"
            << VersionDate::toSetting(offeredOther) << "is older than the installed"
            << VersionDate::toSetting(installed.other);
    else if (unpack(Paths::otherPackagePath()) != Unpacked::Refused)
        record(Settings::Key::other, offeredOther);

    if (!installed.distributor.isEmpty()) {
        emit msgToStatusLabel(tr("All other files updating..."));
        unpack(Paths::distributorPackagePath(installed.distributor));
    }
}

// The run's last reports, once it has let go of the installation: in automatic mode the dialog
// ends the process as soon as the status arrives, and no work folder may outlive its run.
void Thread::finish(const Ending &ending)
{
    endRun();
    if (ending.kind == Ending::Kind::Finished) {
        emit msgToPtogressBar(Contract::Progress::finished, Contract::Progress::total);
        emit msgToStatusLabel(ending.text);
        emit msgToUpdateStatus(ending.status);
        return;
    }
    // Nothing newer, and a failed database update: the status first, its text after it.
    emit msgToUpdateStatus(ending.status);
    emit msgToStatusLabel(ending.text);
}
