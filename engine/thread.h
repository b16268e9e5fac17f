#pragma once

#include <QDate>
#include <QString>
#include <QThread>

#include "upload/client.h"

// The worker of one update run. Everything of the update happens in run() on this thread; the
// dialog learns about it only through the signals, which reach it as queued calls.
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

    bool updateDatabase(QDate newDbVersion, bool copyOwnModels);

protected:
    Q_SIGNAL void msgToGUI(QString cMesage);
    Q_SIGNAL void msgToUpdateStatus(int status);
    Q_SIGNAL void msgToStatusLabel(QString cMesage);
    Q_SIGNAL void msgToPtogressBar(int current, int total);

    void run() override;

private slots:
    void FinishProc();

private:
    void installExecutable(const QString &softwareName, const QDate &offeredMain);
    void installOtherFiles(const QString &distributor, const QDate &offeredOther);
};
