#include "engine/thread.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "common/contract.h"
#include "common/files/filereplace.h"
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
    // Never connected. Ending the worker's life in place would leave the dialog's deleteLater
    // (or anyone else's) a destroyed object to destroy again; handing it to the event loop ends
    // it once, however often this is reached, and never under a running run().
    if (isRunning())
        return;
    deleteLater();
}

void Thread::run()
{
    m_refusals.clear();
    m_offer = Offer();
    if (!beginRun()) {
        finish();
        return;
    }
    const Settings::Installed installed = Settings::readInstalled();
    rcTypeList = rcTypeListFrom(installed.rcTypes);
    m_offer = Offer::read(workFolder());
    const Settings::Offered &offered = m_offer.offered();

    emit msgToPtogressBar(Contract::Progress::started, Contract::Progress::total);

    // The upload never decides anything about the update: its outcome goes to the debug
    // channel only. It sends the user's models to the installation's own server, whatever the
    // offer is worth.
    client.makeUpdate(installed.serverHost, offered.updateMode);

    // An offer that is not what the maker signed installs nothing and records nothing.
    if (!m_offer.isTrusted()) {
        refuse(QStringLiteral("The offer"), m_offer.errorString());
        finish();
        return;
    }

    const bool mainNewer = VersionDate::isLater(offered.main, installed.main);
    const bool databaseNewer = VersionDate::isLater(offered.database, installed.database);
    const bool otherNewer = VersionDate::isLater(offered.other, installed.other);
    qCDebug(lcUpdate) << "Newer: main" << mainNewer << "database" << databaseNewer << "other"
                      << otherNewer;

    if (!mainNewer && !databaseNewer && !otherNewer) {
        endRun();
        emit msgToUpdateStatus(Contract::Status::nothingNewer);
        emit msgToStatusLabel(tr("You have new software version. No need update."));
        return;
    }
    if (databaseNewer && !updateDatabase(offered.database, true))
        return;
    if (mainNewer)
        installExecutable(installed.softwareName, offered.main);
    installOtherFiles(installed, offered.other);
}

// The installation belongs to one run at a time; a second updater (started twice, or by the
// application while one runs) waits for the first and then gives up, touching nothing.
bool Thread::beginRun()
{
    m_lock = std::make_unique<RunLock>();
    if (!m_lock->acquire(m_lockWaitMs)) {
        qCWarning(lcUpdate).noquote() << m_lock->errorString();
        m_refusals << m_lock->errorString();
        m_lock.reset();
        return false;
    }
    WorkFolder::removeLeftovers();
    m_work = std::make_unique<WorkFolder>();
    if (!m_work->create())
        qCWarning(lcUpdate).noquote() << m_work->errorString();
    return true;
}

// Everything the run holds goes before its final status: in automatic mode the dialog ends the
// process as soon as the status arrives, and no work folder may outlive its run.
void Thread::endRun()
{
    m_work.reset();
    m_lock.reset();
}

QString Thread::workFolder() const
{
    return m_work ? m_work->path() : QString();
}

bool Thread::updateDatabase(QDate newDbVersion, bool copyOwnModels)
{
    // A database package that is not what was signed ends the run before the backup, like any
    // failed database update: ../rc.db and every version stay as they are.
    const Package package = m_offer.open(Paths::databasePackagePath());
    if (package.isRefused()) {
        refuse(package.path(), package.errorString());
        finish();
        return false;
    }
    DatabaseUpdate update;
    connect(&update, &DatabaseUpdate::progress, this, &Thread::msgToPtogressBar,
            Qt::DirectConnection);
    // A failure's status and text go out once the run has let go of the installation.
    int failedStatus = 0;
    QString failedText;
    connect(
        &update, &DatabaseUpdate::status, this, [&](int status) { failedStatus = status; },
        Qt::DirectConnection);
    connect(
        &update, &DatabaseUpdate::statusText, this,
        [&](const QString &text) {
            if (failedStatus == 0)
                emit msgToStatusLabel(text);
            else
                failedText = text;
        },
        Qt::DirectConnection);
    if (update.run(newDbVersion, copyOwnModels, rcTypeList, package.file(), workFolder()))
        return true;
    endRun();
    emit msgToUpdateStatus(failedStatus);
    emit msgToStatusLabel(failedText);
    return false;
}

void Thread::refuse(const QString &what, const QString &why)
{
    const QString line = what + QStringLiteral(" not installed: ") + why;
    qCWarning(lcUpdate).noquote() << line;
    m_refusals << line;
}

// An absent package is nothing to install; one that is there but can not be installed is a
// refusal, and the run ends saying so.
Thread::Unpacked Thread::unpack(const QString &packagePath, QStringList *writtenFiles)
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
    Zip::Extractor extractor(Paths::installationFolder());
    if (!extractor.extractAll(*package.file())) {
        refuse(packagePath, extractor.errorString());
        return Unpacked::Refused;
    }
    if (writtenFiles)
        *writtenFiles = extractor.writtenFiles();
    return Unpacked::Installed;
}

// main.zip when it is there, else the product's package; a signed offer names the one it means.
QString Thread::executablePackage() const
{
    const QString main = Paths::mainPackagePath();
    const QString product = Paths::productPackagePath();
    if (m_offer.isVerifying() && (m_offer.lists(main) || m_offer.lists(product)))
        return m_offer.lists(main) ? main : product;
    return QFileInfo::exists(main) ? main : product;
}

void Thread::installExecutable(const QString &softwareName, const QDate &offeredMain)
{
    emit msgToStatusLabel(tr("exe file updating..."));

    // The name comes from the settings and becomes a path: "../x/victim" would have the new
    // executable renamed over a file outside the installation.
    if (!Paths::isPlainName(Paths::executableFileName(softwareName))) {
        refuse(
            QStringLiteral("The executable"),
            QStringLiteral("the software name \"%1\" is not a plain file name").arg(softwareName));
        return;
    }
    const QString package = executablePackage();
    const QString installedPath = Paths::installedExecutablePath(softwareName);
    const QString extracted = QDir::cleanPath(Paths::extractedExecutablePath());
    // With the software name "Software" the extracted file is the installed one; it is never
    // taken away. Any other software.exe is only what an earlier run left behind.
    const bool extractedInPlace = QDir::cleanPath(installedPath) == extracted;
    if (!extractedInPlace)
        QFile::remove(extracted);

    QStringList written;
    const Unpacked unpacked = unpack(package, &written);
    if (unpacked != Unpacked::Installed)
        return;
    // The old executable goes only when the new one takes its place in the same step, so the
    // installation always has one; the version follows the file, never the attempt.
    const QString entry = QFileInfo(extracted).fileName();
    if (!written.contains(entry)) {
        refuse(package, QStringLiteral("it holds no %1; the executable is kept").arg(entry));
        return;
    }
    FileReplace replace;
    if (!extractedInPlace && !replace.moveOver(extracted, installedPath)) {
        refuse(package,
               QStringLiteral("can not replace %1: %2").arg(installedPath, replace.errorString()));
        return;
    }
    Settings::recordVersion(Settings::Key::main, offeredMain);
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
        Settings::recordVersion(Settings::Key::other, offeredOther);

    if (!installed.distributor.isEmpty()) {
        emit msgToStatusLabel(tr("All other files updating..."));
        unpack(Paths::distributorPackagePath(installed.distributor));
    }
    finish();
}

void Thread::finish()
{
    endRun();
    emit msgToPtogressBar(Contract::Progress::finished, Contract::Progress::total);
    if (m_refusals.isEmpty()) {
        emit msgToStatusLabel(tr("All updates have been installed."));
        emit msgToUpdateStatus(Contract::Status::installed);
        return;
    }
    emit msgToStatusLabel(tr("Some updates could not be installed."));
    emit msgToUpdateStatus(Contract::Status::refused);
}
