#pragma once

#include <memory>

#include <QDate>
#include <QObject>
#include <QString>

class CurrentDatabase;
class ParallelBackup;
class QFile;
class QSqlDatabase;
class WorkFolder;
namespace Platform {
class Folder;
}

// Installs a new release of the remote-control database: backs up ../rc.db, unpacks
// ../update-tmp/rcdb.zip into the run's private work folder, carries the user's own models over,
// recomputes visibility there, renames the merged file over ../rc.db and records its version in
// ../config.ini. Nothing of ../update-tmp/ is opened by name: the package comes open and checked.
class DatabaseUpdate : public QObject
{
    Q_OBJECT

public:
    // How a run ended: the final status (0 when the release is in place), the text the user is
    // shown, already translated, and for the support log what went wrong. With the release in
    // place, cause says why its version could not be recorded, if it could not.
    struct Result
    {
        int status = 0;
        QString text;
        QString cause;
        explicit operator bool() const { return status == 0; }
    };

    explicit DatabaseUpdate(QObject *parent = nullptr);
    ~DatabaseUpdate() override;

    // package is ../update-tmp/rcdb.zip already open (and checked), or null when it is absent;
    // downloads is ../update-tmp/ held, where older runs' unpacked files are removed; work is
    // the run's own folder (see WorkFolder), used when it lies beside ../rc.db's own file.
    Result run(const QDate &newDbVersion, bool copyOwnModels, const QString &rcTypeList,
               QFile *package, Platform::Folder *downloads, WorkFolder *work);

    // How long another program's use of ../rc.db is waited for (10 s unless a test says).
    void setBusyWait(int milliseconds) { m_busyWaitMs = milliseconds; }

signals:
    void progress(int current, int total);
    // What the step is doing, already translated, in the context "Thread".
    void statusText(const QString &text);

private:
    WorkFolder *releaseFolder(WorkFolder *work, CurrentDatabase &current, Result *failure);
    void unpackRelease(QFile *package, Platform::Folder *downloads, WorkFolder &work,
                       ParallelBackup &backup);
    Result mergeAndApplyVisibility(const QSqlDatabase &current, WorkFolder &work,
                                   bool copyOwnModels, const QString &rcTypeList,
                                   ParallelBackup &backup);

    // A work folder beside a linked database's file, when the run's own lies elsewhere.
    std::unique_ptr<WorkFolder> m_ownWork;
    // Why the release could not be unpacked, for the moment it is found missing.
    QString m_releaseProblem;
    int m_busyWaitMs = 10000;
};
