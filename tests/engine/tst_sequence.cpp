#include "tests/engine/tst_sequence.h"

#include <QPointer>

#include "tests/support/reports.h"

QStringList record(Thread &thread)
{
    Reports recorder;
    QObject::connect(&thread, SIGNAL(msgToPtogressBar(int, int)), &recorder,
                     SLOT(progress(int, int)), Qt::DirectConnection);
    QObject::connect(&thread, SIGNAL(msgToStatusLabel(QString)), &recorder, SLOT(text(QString)),
                     Qt::DirectConnection);
    QObject::connect(&thread, SIGNAL(msgToUpdateStatus(int)), &recorder, SLOT(status(int)),
                     Qt::DirectConnection);
    thread.start();
    thread.wait();
    if (!recorder.rising)
        recorder.events << QStringLiteral("progress went back");
    return recorder.events;
}

QStringList runWorker(Installation &inst)
{
    inst.enter();
    Thread thread;
    const QStringList events = record(thread);
    inst.leave();
    return events;
}

void offerPackages(Installation &inst, bool withExecutable)
{
    QVERIFY(inst.offerPackage("main.zip", {{"Languages/readme.txt", "from main"}},
                              withExecutable ? "new build" : ""));
    QVERIFY(inst.offerPackage("other.zip", {{"help/index.html", "<p>help</p>"}}));
    QVERIFY(inst.offerPackage("distributor-north.zip", {{"logo.txt", "north"}}));
}

void TestSequence::outcomes_data()
{
    QTest::addColumn<QString>("installedMain");
    QTest::addColumn<QString>("offeredMain");
    QTest::addColumn<QString>("installedOther");
    QTest::addColumn<QString>("offeredOther");
    QTest::addColumn<QString>("distributor");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<bool>("exeReplaced");
    QTest::addColumn<bool>("otherExtracted");

    const QString p0 = QStringLiteral("progress 0/1000");
    const QString p900 = QStringLiteral("progress 900/1000");
    const QString p1000 = QStringLiteral("progress 1000/1000");

    QTest::newRow("nothing newer")
        << "2020-01-01"
        << "2020-01-01"
        << "2020-01-01"
        << "2019-01-01"
        << "north" << QStringList{p0, "status 1", upToDate} << false << false;
    QTest::newRow("nothing offered")
        << "2020-01-01"
        << ""
        << ""
        << ""
        << "" << QStringList{p0, "status 1", upToDate} << false << false;
    QTest::newRow("main newer, distributor")
        << "2020-01-01"
        << "2020-02-01"
        << "2020-01-01"
        << "2020-01-01"
        << "north"
        << QStringList{p0, exeText, p900, otherText, otherText, p1000, doneText, "status 0"} << true
        << true;
    QTest::newRow("main newer, nothing installed")
        << ""
        << "2020-02-01"
        << ""
        << ""
        << "" << QStringList{p0, exeText, p900, otherText, p1000, doneText, "status 0"} << true
        << true;
    QTest::newRow("only other newer")
        << "2020-01-01"
        << "2020-01-01"
        << "2020-01-01"
        << "2020-03-01"
        << "" << QStringList{p0, p900, otherText, p1000, doneText, "status 0"} << false << true;
    QTest::newRow("main offered earlier")
        << "2020-01-01"
        << "2019-01-01"
        << "2020-01-01"
        << "2020-03-01"
        << "north" << QStringList{p0, p900, otherText, otherText, p1000, doneText, "status 0"}
        << false << true;
}

void TestSequence::outcomes()
{
    QFETCH(QString, installedMain);
    QFETCH(QString, offeredMain);
    QFETCH(QString, installedOther);
    QFETCH(QString, offeredOther);
    QFETCH(QString, distributor);
    QFETCH(QStringList, events);
    QFETCH(bool, exeReplaced);
    QFETCH(bool, otherExtracted);

    Installation inst;
    QVERIFY(inst.writeRecorderExecutable("kestrelix.exe", "old build"));
    offerPackages(inst);
    inst.setInstalled("UpdateInfo/main", installedMain);
    inst.setInstalled("UpdateInfo/other", installedOther);
    inst.setInstalled("UpdateInfo/distributor", distributor);
    inst.setInstalled("UpdateInfo/serverdb", "");
    inst.setOffered("UpdateInfo/main", offeredMain);
    inst.setOffered("UpdateInfo/other", offeredOther);

    QCOMPARE(runWorker(inst), events);

    QCOMPARE(inst.readFile("kestrelix.exe").contains("new build"), exeReplaced);
    QCOMPARE(inst.installed("UpdateInfo/main"), exeReplaced ? offeredMain : installedMain);
    QCOMPARE(inst.exists("help/index.html"), otherExtracted);
    // Recorded whenever the other files were unpacked, even when their version was not newer.
    QCOMPARE(inst.installed("UpdateInfo/other"), otherExtracted ? offeredOther : installedOther);
    QCOMPARE(inst.exists("logo.txt"), otherExtracted && !distributor.isEmpty());
    QVERIFY(!inst.exists("software.exe"));
    QVERIFY(inst.exists("update-tmp/main.zip")); // packages stay for the next run to compare
}

void TestSequence::executableSwap_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<QString>("softwareName");
    QTest::addColumn<bool>("replaced");
    QTest::addColumn<int>("status");

    // A package that is there but can not be installed is a failure the user is told about;
    // one that is simply absent is nothing to install.
    QTest::newRow("package with software.exe") << "normal"
                                               << "MyRemote" << true << 0;
    QTest::newRow("package without software.exe") << "no-exe"
                                                  << "MyRemote" << false << -4;
    QTest::newRow("no package at all") << "no-package"
                                       << "MyRemote" << false << 0;
    QTest::newRow("package is not a ZIP") << "garbage"
                                          << "MyRemote" << false << -4;
    QTest::newRow("package refused") << "hostile"
                                     << "MyRemote" << false << -4;
    QTest::newRow("executable cannot be replaced") << "folder"
                                                   << "MyRemote" << false << -4;
    // The installed executable is software.exe itself: it is never cleared away beforehand.
    QTest::newRow("named Software") << "normal"
                                    << "Software" << true << 0;
    QTest::newRow("named Software, package refused") << "hostile"
                                                     << "Software" << false << -4;
    QTest::newRow("named Software, no package") << "no-package"
                                                << "Software" << false << 0;
}

void TestSequence::executableSwap()
{
    QFETCH(QString, situation);
    QFETCH(QString, softwareName);
    QFETCH(bool, replaced);
    QFETCH(int, status);

    Installation inst;
    const QString executable = softwareName.toLower() + ".exe";
    QVERIFY(inst.writeRecorderExecutable(executable, "old build"));
    offerPackages(inst, situation != "no-exe");
    if (situation == "no-package")
        QVERIFY(QFile::remove(inst.path("update-tmp/main.zip")));
    if (situation == "garbage")
        QVERIFY(inst.writeFile("update-tmp/main.zip", "not a zip"));
    if (situation == "hostile") {
        QVERIFY(inst.writeFile("pkg-main/x/y", "x"));
        QVERIFY(QFile::link("../../../outside", inst.path("pkg-main/x/up")));
        QVERIFY(inst.zipFolder("main.zip", "pkg-main"));
    }
    if (situation == "folder") {
        QVERIFY(QFile::remove(inst.path(executable)));
        QVERIFY(QDir().mkpath(inst.path(executable + "/inside")));
    }
    inst.setInstalled("Settings/softwareName", softwareName);
    inst.setInstalled("UpdateInfo/main", "2020-01-01");
    inst.setOffered("UpdateInfo/main", "2021-06-30");
    inst.setOffered("UpdateInfo/other", "2021-06-30");

    const QStringList events = runWorker(inst);
    QCOMPARE(events.mid(events.size() - 3),
             (QStringList{"progress 1000/1000", status == 0 ? doneText : failedText,
                          QStringLiteral("status %1").arg(status)}));
    QVERIFY(events.contains(exeText));

    QCOMPARE(inst.installed("UpdateInfo/main"), replaced ? "2021-06-30" : "2020-01-01");
    if (situation == "folder") {
        QVERIFY(QFileInfo(inst.path(executable)).isDir());
    } else {
        QVERIFY(QFileInfo(inst.path(executable)).isExecutable());
        QCOMPARE(inst.readFile(executable).contains("new build"), replaced);
    }
    // The other files are installed whatever became of the executable.
    QCOMPARE(inst.readFile("help/index.html"), QByteArray("<p>help</p>"));
    QCOMPARE(inst.installed("UpdateInfo/other"), "2021-06-30");
    QVERIFY(!inst.exists("outside"));
}

void TestSequence::finishProcAfterTheRun()
{
    // However the slot is reached once the run is over, the worker ends exactly once, and not
    // under the feet of whoever called it.
    Installation inst;
    inst.enter();
    auto *thread = new Thread;
    QPointer<Thread> alive(thread);
    int destroyed = 0;
    QObject::connect(thread, &QObject::destroyed, [&] { ++destroyed; });
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start();
    QVERIFY(thread->wait(60000));
    QVERIFY(QMetaObject::invokeMethod(thread, "FinishProc", Qt::DirectConnection));
    QVERIFY(alive);
    QVERIFY(QMetaObject::invokeMethod(thread, "FinishProc", Qt::QueuedConnection));
    QCoreApplication::sendPostedEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!alive);
    QCOMPARE(destroyed, 1);
    inst.leave();
}

void TestSequence::mainZipPreferredOverProductPackage()
{
    Installation inst;
    QVERIFY(inst.writeRecorderExecutable("kestrelix.exe", "old build"));
    QVERIFY(inst.writeRecorderExecutable("pkg-product/software.exe", "product build"));
    QVERIFY(inst.zipFolder("kestrelix.zip", "pkg-product"));
    inst.setOffered("UpdateInfo/main", "2021-01-01");

    runWorker(inst);
    QVERIFY(inst.readFile("kestrelix.exe").contains("product build"));

    // Now a newer release in main.zip beside a kestrelix.zip: main.zip is the one taken.
    QVERIFY(inst.offerPackage("main.zip", {}, "main build"));
    inst.setOffered("UpdateInfo/main", "2022-01-01");
    runWorker(inst);
    QVERIFY(inst.readFile("kestrelix.exe").contains("main build"));
    QCOMPARE(inst.installed("UpdateInfo/main"), "2022-01-01");
}

void TestSequence::databaseReports_data()
{
    QTest::addColumn<bool>("withBackupFolder");
    QTest::addColumn<QStringList>("events");

    const QString dbText = QStringLiteral("text Database updating...");
    QTest::newRow("database newer") << true
                                    << QStringList{"progress 0/1000",
                                                   dbText,
                                                   "progress 100/1000",
                                                   "progress 200/1000",
                                                   "progress 300/1000",
                                                   "progress 700/1000",
                                                   "progress 800/1000",
                                                   exeText,
                                                   "progress 900/1000",
                                                   otherText,
                                                   "progress 1000/1000",
                                                   doneText,
                                                   "status 0"};
    // A failed database update is the run's last word: nothing of main or other follows.
    QTest::newRow("no backup folder") << false
                                      << QStringList{"progress 0/1000", dbText, "progress 100/1000",
                                                     "status -1", "text Can't create backup."};
}

void TestSequence::databaseReports()
{
    QFETCH(bool, withBackupFolder);
    QFETCH(QStringList, events);

    Installation inst;
    if (!withBackupFolder)
        QVERIFY(QDir(inst.path("backup")).removeRecursively());
    QVERIFY(inst.writeRecorderExecutable("kestrelix.exe", "old build"));
    offerPackages(inst);
    inst.setInstalled("UpdateInfo/serverdb", "");
    inst.setOffered("UpdateInfo/main", "2021-01-01");
    inst.setOffered("UpdateInfo/database", "2021-01-01");

    SampleData::DatabaseShape current;
    current.layout = Generation::First;
    current.ownModels = 4; // one progress step of 100 each
    QVERIFY(inst.writeDatabase("rc.db", current));
    QVERIFY(inst.offerDatabase(Shapes::release()));

    QCOMPARE(runWorker(inst), events);
    QCOMPARE(inst.installed("UpdateInfo/database"), withBackupFolder ? "2021-01-01" : "");
    QCOMPARE(inst.installed("UpdateInfo/main"), withBackupFolder ? "2021-01-01" : "");
}
void TestSequence::rcTypeListFromSettings()
{
    Installation inst;
    QVERIFY(inst.writeFile("config.ini", "[Settings]\nrcTypes=1 5/12 x7\n"));
    inst.enter();
    Thread thread;
    QVERIFY(thread.rcTypeList.isEmpty());
    thread.start();
    thread.wait();
    QCOMPARE(thread.rcTypeList, "1,5,12,7");
}

void TestSequence::metaObjectTable()
{
    const QMetaObject &mo = Thread::staticMetaObject;
    QCOMPARE(mo.className(), "Thread");
    struct Row
    {
        const char *signature;
        QMetaMethod::MethodType type;
        QMetaMethod::Access access;
        QList<QByteArray> names;
    };
    const QList<Row> rows = {
        {"msgToGUI(QString)", QMetaMethod::Signal, QMetaMethod::Protected, {"cMesage"}},
        {"msgToUpdateStatus(int)", QMetaMethod::Signal, QMetaMethod::Protected, {"status"}},
        {"msgToStatusLabel(QString)", QMetaMethod::Signal, QMetaMethod::Protected, {"cMesage"}},
        {"msgToPtogressBar(int,int)",
         QMetaMethod::Signal,
         QMetaMethod::Protected,
         {"current", "total"}},
        {"FinishProc()", QMetaMethod::Slot, QMetaMethod::Private, {}},
    };
    QCOMPARE(mo.methodCount() - mo.methodOffset(), rows.size());
    for (int i = 0; i < rows.size(); ++i) {
        const QMetaMethod m = mo.method(mo.methodOffset() + i);
        QCOMPARE(m.methodSignature(), QByteArray(rows[i].signature));
        QCOMPARE(m.methodType(), rows[i].type);
        QCOMPARE(m.access(), rows[i].access);
        QCOMPARE(m.parameterNames(), rows[i].names);
    }
}

QTEST_GUILESS_MAIN(TestSequence)
