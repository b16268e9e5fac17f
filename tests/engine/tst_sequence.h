#pragma once

#include <QDir>
#include <QFile>
#include <QTest>

#include "engine/thread.h"
#include "tests/support/databaseshapes.h"
#include "tests/support/installation.h"

// The worker's reports in emission order, taken on the worker thread.
QStringList record(Thread &thread);
QStringList runWorker(Installation &inst);
// The packages every test offers, made with Info-ZIP's zip.
void offerPackages(Installation &inst, bool withExecutable = true);

const QString upToDate = QStringLiteral("text You have new software version. No need update.");
const QString exeText = QStringLiteral("text exe file updating...");
const QString otherText = QStringLiteral("text All other files updating...");
const QString doneText = QStringLiteral("text All updates have been installed.");
const QString failedText = QStringLiteral("text Some updates could not be installed.");

// The run's steps and reports in tst_sequence.cpp; signed offers, what others do meanwhile and a
// second run in tst_sequence_safety.cpp.
class TestSequence : public QObject
{
    Q_OBJECT

private slots:
    void outcomes_data();
    void outcomes();
    void executableSwap_data();
    void executableSwap();
    void finishProcAfterTheRun();
    void mainZipPreferredOverProductPackage();
    void databaseReports_data();
    void databaseReports();
    void signedOffers_data();
    void signedOffers();
    void oneRunAtATime_data();
    void oneRunAtATime();
    void rcTypeListFromSettings();
    void metaObjectTable();
};
