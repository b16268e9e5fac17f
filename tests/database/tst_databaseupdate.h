#pragma once

#include <QDir>
#include <QFile>
#include <QTest>

#include "database/databaseupdate.h"
#include "tests/support/databaseshapes.h"
#include "tests/support/files.h"
#include "tests/support/installation.h"
#include "tests/support/reports.h"
#include "tests/support/sqliteoracle.h"
#include "tests/support/testdatabase.h"
#include "tools/databasestep/databasestep.h"
#include "tools/sampledata/sampledatabase.h"

const QString updating = QStringLiteral("text Database updating...");
const QStringList untilExtracted = {updating, "progress 100/1000", "progress 200/1000",
                                    "progress 300/1000"};

// Every report of one run, in the order it was made, and how the run ended.
class StepReports : public Reports
{
public:
    explicit StepReports(DatabaseUpdate *update);
    // The run's end, as the worker reports a failure: its status, then its text.
    bool record(const DatabaseUpdate::Result &result);
    QString cause;
};

SampleData::DatabaseShape installedShape(bool withProt);
// The step as most tests run it: a release of 2027-05-01, own models copied, types 1 and 3.
DatabaseUpdate::Result runStep(DatabaseUpdate &update);
bool connectionsRemain();
// The run's private folders in the installation: one while a run works, none after it.
QStringList workFolders(const Installation &installation);

// The step's outcomes in tst_databaseupdate.cpp; the user's file while another program uses it,
// and as others left it, in tst_databaseupdate_userfile.cpp.
class TestDatabaseUpdate : public QObject
{
    Q_OBJECT

private slots:
    void success_data();
    void success();
    void nullVersionIsWrittenEmpty();
    void failures_data();
    void failures();
    void replacementFails_data();
    void replacementFails();
    void otherProgramUsesTheDatabase_data();
    void otherProgramUsesTheDatabase();
    void userFileStates_data();
    void userFileStates();

private:
    static SampleData::DatabaseShape releaseShape() { return Shapes::release(40, 12, 3); }
    void install(Installation &installation, bool withProt = false);
    void offerRelease(Installation &installation);
};
