#pragma once

#include <atomic>
#include <memory>

#include <QDate>
#include <QString>
#include <QThread>

#include "common/files/platform.h"
#include "common/files/runlock.h"
#include "common/files/workfolder.h"
#include "common/trust/offer.h"
#include "upload/client.h"

// The worker of one update run. Everything of the update happens in run() on this thread; the
// dialog learns about it only through the signals, which reach it as queued calls.
//
// Fixed names, typos included: the class name "Thread" is the translation context of the
// catalogues, the dialog connects by the signatures msgToPtogressBar(int,int),
// msgToStatusLabel(QString) and msgToUpdateStatus(int), and the meta-object table (signal order,
// the parameter names cMesage, current, total, status, the slot FinishProc) is what other
// programs and tests see. Members rcTypeList and client keep their names too. Renaming any of
// them silently breaks the string-based connections and the translations.
class Thread : public QThread
{
    Q_OBJECT

public:
    explicit Thread(QObject *parent = nullptr);
    ~Thread() override;

    // The chosen remote-control type ids, "1,3,5"; filled by run() from Settings/rcTypes.
    QString rcTypeList;
    // Sends the user's own models to the maker's server at the start of every run.
    Client client;

    // The database step: true when the new release is in place and its version recorded; on
    // failure the run ends with the step's status and text.
    bool updateDatabase(QDate newDbVersion, bool copyOwnModels);

    // How long a run waits for another one to end before it gives up (10 s unless a test says).
    void setLockWait(int milliseconds) { m_lockWaitMs = milliseconds; }
    // True once the run has found another update at work in the installation and touched
    // nothing; read after its final status.
    bool installationWasBusy() const { return m_busy; }

protected:
    Q_SIGNAL void msgToGUI(QString cMesage);
    Q_SIGNAL void msgToUpdateStatus(int status);
    Q_SIGNAL void msgToStatusLabel(QString cMesage);
    Q_SIGNAL void msgToPtogressBar(int current, int total);

    void run() override;

private slots:
    void FinishProc();

private:
    // How a run ends: the final status with its text, and in which order they are reported.
    struct Ending
    {
        // Finished: progress 1000, the text, the status; the others: the status, then the text.
        enum class Kind { Finished, NothingNewer, DatabaseFailed };
        Kind kind = Kind::Finished;
        int status = 0;
        QString text;
    };
    enum class Unpacked { Absent, Installed, Refused };

    Ending runSteps();
    Ending refusedOrInstalled() const;
    bool beginRun();
    bool foldersAreSafe();
    void endRun();
    Unpacked unpack(const QString &packagePath, const QString &executableName = QString());
    void record(const char *key, const QDate &version);
    void refuse(const QString &what, const QString &why);
    QString executablePackage() const;
#ifdef Q_OS_WIN
    void removeExecutableSetAside(const QString &softwareName);
#endif
    void installExecutable(const QString &softwareName, const QDate &offeredMain);
    void installOtherFiles(const Settings::Installed &installed, const QDate &offeredOther);
    void finish(const Ending &ending);

    // What ../update-tmp/ offers this run, checked against the trusted keys when there are any.
    Offer m_offer;
    // One line per package that was there but could not be installed.
    QStringList m_refusals;
    // The installation folder, held for the whole run: every step works in this very folder.
    Platform::Folder m_installation;
    // Held from the start of a run until just before its final status.
    std::unique_ptr<RunLock> m_lock;
    std::unique_ptr<WorkFolder> m_work;
    int m_lockWaitMs = RunLock::defaultTimeoutMs;
    std::atomic<bool> m_busy{false};
    Ending m_databaseFailure;
    // Why the run installed nothing at all, when it did not even try: the text for the user.
    const char *m_nothingTried = nullptr;
};
