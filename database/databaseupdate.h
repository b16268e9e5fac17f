#pragma once

#include <memory>

#include <QDate>
#include <QObject>
#include <QString>

#include "common/files/workfolder.h"

class CurrentDatabase;
class ParallelBackup;
class QFile;
class QSqlDatabase;

// Installs a new release of the remote-control database: backs up ../rc.db, unpacks
// ../update-tmp/rcdb.zip into the run's private work folder, carries the user's own models over,
// recomputes visibility there, renames the merged file over ../rc.db and records its version in
// ../config.ini. Nothing of ../update-tmp/ is opened by name: the package comes open and checked.
class DatabaseUpdate : public QObject
{
    Q_OBJECT

public:
    explicit DatabaseUpdate(QObject *parent = nullptr);

    // True when ../rc.db holds the new release and UpdateInfo/database is recorded. On failure
    // status() has been emitted with -1, -2 or -3 and then statusText() with its text.
    // package is ../update-tmp/rcdb.zip already open (and checked), or null when it is absent;
    // workFolder is the run's own folder beside ../rc.db (see WorkFolder).
    bool run(const QDate &newDbVersion, bool copyOwnModels, const QString &rcTypeList,
             QFile *package, const QString &workFolder);
    // The same with ../update-tmp/rcdb.zip taken as it is, unchecked, in a work folder of its own.
    bool run(const QDate &newDbVersion, bool copyOwnModels, const QString &rcTypeList);

    // How long another program's use of ../rc.db is waited for (10 s unless a test says).
    void setBusyWait(int milliseconds) { m_busyWaitMs = milliseconds; }

signals:
    void progress(int current, int total);
    void status(int status);
    // Already translated, in the context "Thread".
    void statusText(const QString &text);

private:
    // Why a step failed, for the signals: the final status and its text, not yet translated.
    struct Failure
    {
        int status = 0;
        const char *text = nullptr;
    };

    QString releaseFolder(const QString &workFolder, const QString &databaseFile);
    void unpackRelease(QFile *package, const QString &workFolder);
    // No text when the release holds the own models and its visibility.
    Failure mergeAndApplyVisibility(const QSqlDatabase &current, bool copyOwnModels,
                                    const QString &rcTypeList, ParallelBackup &backup);
    bool replaceInstalledDatabase(CurrentDatabase &current);
    // Emits the status and its text; returns false.
    bool reportFailure(Failure failure);

    // The release as unpacked into the work folder: the one file merged and put in place.
    QString m_release;
    // A work folder beside a linked database's file, when the run's own lies elsewhere.
    std::unique_ptr<WorkFolder> m_ownWork;
    int m_busyWaitMs = 10000;
};
