#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QPointer>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include "common/diagnostics/checkpoint.h"
#include "engine/thread.h"
#include "tests/support/databaseshapes.h"
#include "tests/support/files.h"
#include "tests/support/installation.h"
#include "tests/support/otherprocess.h"
#include "tests/support/reports.h"
#include "tests/support/sqliteoracle.h"

namespace {

// The worker's reports in emission order, taken on the worker thread.
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

const QString upToDate = QStringLiteral("text You have new software version. No need update.");
const QString exeText = QStringLiteral("text exe file updating...");
const QString otherText = QStringLiteral("text All other files updating...");
const QString doneText = QStringLiteral("text All updates have been installed.");
const QString failedText = QStringLiteral("text Some updates could not be installed.");

// The packages every test offers, made with Info-ZIP's zip.
void offerPackages(Installation &inst, bool withExecutable = true)
{
    QVERIFY(inst.offerPackage("main.zip", {{"Languages/readme.txt", "from main"}},
                              withExecutable ? "new build" : ""));
    QVERIFY(inst.offerPackage("other.zip", {{"help/index.html", "<p>help</p>"}}));
    QVERIFY(inst.offerPackage("distributor-north.zip", {{"logo.txt", "north"}}));
}

} // namespace

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

void TestSequence::signedOffers_data()
{
    QTest::addColumn<QString>("situation");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("database");
    QTest::addColumn<bool>("main");
    QTest::addColumn<bool>("other");

    QTest::newRow("no key installed, unsigned") << "unverified" << 0 << true << true << true;
    QTest::newRow("signed") << "signed" << 0 << true << true << true;
    QTest::newRow("signed, legacy kind") << "legacy" << 0 << true << true << true;
    // The offer is not the maker's: nothing of it is opened, no version written.
    QTest::newRow("no signature") << "unsigned" << -4 << false << false << false;
    QTest::newRow("foreign key") << "foreign" << -4 << false << false << false;
    QTest::newRow("offer changed") << "offer-byte" << -4 << false << false << false;
    QTest::newRow("trusted comment changed") << "comment" << -4 << false << false << false;
    QTest::newRow("signature garbled") << "garbled" << -4 << false << false << false;
    QTest::newRow("key doubled in the offer") << "doubled-key" << -4 << false << false << false;
    QTest::newRow("section doubled in the offer")
        << "doubled-section" << -4 << false << false << false;
    // A key that is there but damaged checks everything and lets nothing through.
    QTest::newRow("key file damaged") << "bad-key" << -4 << false << false << false;
    // One package is not what was signed: it is refused, the others are installed...
    QTest::newRow("package changed") << "other-byte" << -4 << true << true << false;
    QTest::newRow("package not listed") << "unlisted" << -4 << true << false << true;
    QTest::newRow("listed package deleted after the offer was read")
        << "other-deleted" << -4 << true << true << false;
    // ...except the database's, which ends the run before the backup, like any failed update.
    QTest::newRow("database package swapped") << "rcdb-swapped" << -4 << false << false << false;
    QTest::newRow("database package deleted after the offer was read")
        << "rcdb-deleted" << -4 << false << false << false;
    // What is done to the download folder after the check never reaches the installation.
    QTest::newRow("release replaced after unpacking")
        << "release-replaced" << 0 << true << true << true;
    QTest::newRow("no key, release replaced after unpacking")
        << "unverified-release-replaced" << 0 << true << true << true;
    QTest::newRow("release linked elsewhere after unpacking")
        << "release-linked" << 0 << true << true << true;
    QTest::newRow("package rewritten in place after the check")
        << "other-rewritten" << 0 << true << true << true;
    QTest::newRow("scratch folder linked elsewhere after the check")
        << "scratch-linked" << 0 << true << true << true;
    // Not there when it was read, renamed in afterwards: nothing was offered.
    QTest::newRow("offer arrives after the check") << "late-offer" << 1 << false << false << false;
    // The maker's older offer played back rolls nothing back.
    QTest::newRow("older offer replayed") << "replayed" << 0 << true << true << false;
    // Another account owns the installation, so the updater works with its rights; meanwhile
    // that account changes names under it. What the updater staged is what lands, whatever now
    // stands under the names, and nothing outside the installation changes.
    QTest::newRow("owner: executable linked after unpacking")
        << "owner-exe-linked" << 0 << true << true << true;
    QTest::newRow("owner: work folder swapped after unpacking")
        << "owner-work-swapped" << 0 << true << true << true;
    QTest::newRow("owner: scratch folder linked after staging")
        << "owner-scratch-linked" << 0 << true << true << true;
    QTest::newRow("owner: package folder linked after staging")
        << "owner-folder-linked" << -4 << true << true << false;
    QTest::newRow("owner: backup's part file a link")
        << "owner-part-linked" << 0 << true << true << true;
}

void TestSequence::signedOffers()
{
    QFETCH(QString, situation);
    QFETCH(int, status);
    QFETCH(bool, database);
    QFETCH(bool, main);
    QFETCH(bool, other);

    const QString trusted = signingKey("trusted");
    const QString foreign = signingKey("foreign");
    QVERIFY(!trusted.isEmpty() && !foreign.isEmpty());
    const bool verifying = !situation.startsWith("unverified");
    const bool asOwner = situation.startsWith("owner-");
    if (asOwner && ::geteuid() != 0)
        QSKIP("only root can play another account");

    Installation inst;
    QTemporaryDir outside;
    // What the other account could lead the updater to: a file and a folder of its own.
    const QString victim = outside.filePath("victim");
    const QString victimFolder = outside.filePath("victim-folder");
    QVERIFY(writeFile(victim, "victim"));
    QVERIFY(QFile::setPermissions(victim, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(QDir().mkpath(victimFolder));
    QVERIFY(writeFile(victimFolder + "/kept", "kept"));
    QVERIFY(inst.writeRecorderExecutable("kestrelix.exe", "old build"));
    offerPackages(inst);
    inst.setInstalled("UpdateInfo/serverdb", "");
    for (const char *key : {"UpdateInfo/main", "UpdateInfo/database", "UpdateInfo/other"})
        inst.setOffered(key, "2021-01-01");
    const QString otherBefore = situation == "replayed" ? "2022-01-01" : "";
    inst.setInstalled("UpdateInfo/other", otherBefore);
    QVERIFY(inst.writeDatabase("rc.db", SampleData::DatabaseShape()));
    QVERIFY(inst.offerDatabase(Shapes::release(107)));
    const QByteArray databaseBefore = inst.readFile("rc.db");

    QByteArray offer = inst.readFile("update-tmp/config.ini");
    if (situation == "doubled-key")
        offer.replace("[UpdateInfo]\n", "[UpdateInfo]\nother=2021-01-01\n");
    if (situation == "doubled-section")
        offer.append("[UpdateInfo]\nupdateMode=0\n");
    QVERIFY(inst.writeFile("update-tmp/config.ini", offer));
    if (situation == "other-rewritten")
        QVERIFY(
            inst.offerPackage("rewritten.zip", {{"help/index.html", "<p>not the maker's</p>"}}));
    if (situation == "unlisted") // arrives after the offer was signed
        QVERIFY(QFile::rename(inst.path("update-tmp/main.zip"), inst.path("update-tmp/late")));
    if (verifying && situation != "unsigned")
        QVERIFY(signOffer(inst, situation == "foreign" ? foreign : trusted,
                          situation == "legacy" ? QStringList{"-l"} : QStringList()));
    if (situation == "bad-key")
        QVERIFY(inst.writeFile("update/package-key.pub", "untrusted comment: x\nRWQnot-a-key\n"));
    else if (verifying)
        QVERIFY(installKey(inst, trusted));

    offer = inst.readFile("update-tmp/config.ini");
    QByteArray signature = inst.readFile("update-tmp/config.ini.minisig");
    if (situation == "offer-byte")
        offer.replace("2021-01-01", "2029-01-01");
    if (situation == "comment")
        signature.replace("trusted comment: ", "trusted comment: x");
    if (situation == "garbled")
        signature[signature.indexOf('\n') + 5] = '*';
    QVERIFY(inst.writeFile("update-tmp/config.ini", offer));
    if (!signature.isEmpty())
        QVERIFY(inst.writeFile("update-tmp/config.ini.minisig", signature));
    if (situation == "other-byte") {
        QVERIFY(inst.offerPackage("other.zip", {{"help/index.html", "<p>not the maker's</p>"}}));
    }
    if (situation == "unlisted")
        QVERIFY(QFile::rename(inst.path("update-tmp/late"), inst.path("update-tmp/main.zip")));
    if (situation == "rcdb-swapped")
        QVERIFY(inst.offerDatabase(Shapes::release()));
    if (situation == "late-offer")
        QVERIFY(QFile::rename(inst.path("update-tmp/config.ini"), inst.path("update-tmp/late")));

    // A catalogue nobody signed, and the places an attacker would lead the updater to.
    const QString foreignDatabase = outside.filePath("foreign.db");
    QVERIFY(inst.writeDatabase("foreign.db", Shapes::release(3)));
    QCOMPARE(sqliteText(inst.path("foreign.db"), "UPDATE rcmodels SET Brand = 'foreign'"), "");
    QVERIFY(QFile::rename(inst.path("foreign.db"), foreignDatabase));
    const QByteArray foreignBefore = readFile(foreignDatabase);
    const QString plantedRelease = inst.path("update-tmp/rc.db");
    if (situation == "owner-part-linked") {
        for (int minute = 0; minute < 2; ++minute)
            QVERIFY(QFile::link(
                victim,
                inst.path(
                    "backup/rcdb-" +
                    QDateTime::currentDateTime().addSecs(60 * minute).toString("yyMMdd-hhmm") +
                    ".zip.part")));
    }
    // The other account's moves, as shell commands in the installation folder.
    const QHash<QString, QString> moves = {
        {"owner-exe-linked", "ln -sfn '" + victim + "' software.exe"},
        {"owner-work-swapped",
         "for d in .update-work-*; do mv \"$d\" moved-work && mkdir \"$d\" && "
         "cp '" +
             foreignDatabase + "' \"$d/rc.db\"; done"},
        {"owner-scratch-linked",
         "mv .update-scratch moved-scratch && ln -s '" + victimFolder + "' .update-scratch"},
        {"owner-folder-linked", "ln -s '" + victimFolder + "' help"},
    };
    // Each attack is made at the moment right after the updater's check, where it would count.
    const QHash<QString, QString> attackAt = {
        {"owner-exe-linked", "package unpacked: ../update-tmp/main.zip"},
        {"owner-work-swapped", "database unpacked"},
        {"owner-scratch-linked", "package staged: ../update-tmp/other.zip"},
        {"owner-folder-linked", "package staged: ../update-tmp/other.zip"},
        {"late-offer", "offer read"},
        {"other-deleted", "offer read"},
        {"rcdb-deleted", "offer read"},
        {"unverified-release-replaced", "database unpacked"},
        {"release-replaced", "database unpacked"},
        {"release-linked", "database unpacked"},
        {"scratch-linked", "package checked: ../update-tmp/rcdb.zip"},
        {"other-rewritten", "package checked: ../update-tmp/other.zip"},
    };
    bool attacked = false;
    Checkpoint::setHook([&](const QString &moment) {
        if (attacked || attackAt.value(situation) != moment)
            return;
        attacked = true;
        if (situation == "late-offer")
            QFile::rename(inst.path("update-tmp/late"), inst.path("update-tmp/config.ini"));
        if (situation == "other-deleted")
            QFile::remove(inst.path("update-tmp/other.zip"));
        if (situation == "other-rewritten") // the same file, other bytes
            QVERIFY(writeFile(inst.path("update-tmp/other.zip"),
                              inst.readFile("update-tmp/rewritten.zip")));
        if (situation == "rcdb-deleted")
            QFile::remove(inst.path("update-tmp/rcdb.zip"));
        QFile::remove(plantedRelease);
        if (situation == "rcdb-deleted" || situation.endsWith("release-replaced"))
            QVERIFY(QFile::copy(foreignDatabase, plantedRelease));
        if (situation == "release-linked")
            QVERIFY(QFile::link(foreignDatabase, plantedRelease));
        if (situation == "scratch-linked")
            QFile::link(outside.path(), inst.path("update-tmp/.update-scratch"));
        if (moves.contains(situation))
            QCOMPARE(OtherAccount::run(moves.value(situation), inst.root()), 0);
    });
    std::unique_ptr<ActingAs> acting;
    if (asOwner) {
        QVERIFY(OtherAccount::give(inst.root()) && OtherAccount::give(outside.path()));
        acting = std::make_unique<ActingAs>(OtherAccount::uid, OtherAccount::gid);
        QVERIFY(acting->isActive());
    }
    const QStringList events = runWorker(inst);
    acting.reset();
    Checkpoint::setHook({});
    QCOMPARE(attacked, attackAt.contains(situation));

    const QString statusLine = QStringLiteral("status %1").arg(status);
    // An offer that is refused as a whole says so; a refused package is one update not installed.
    const bool offerRefused =
        status == -4 && !database && !main && !other && !situation.startsWith("rcdb-");
    const QString refusedText =
        offerRefused ? QStringLiteral("text The offered update was refused.") : failedText;
    const QStringList tail =
        status == 1
            ? QStringList{statusLine, upToDate}
            : QStringList{"progress 1000/1000", status == 0 ? doneText : refusedText, statusLine};
    QCOMPARE(events.mid(events.size() - tail.size()), tail);
    QCOMPARE(inst.installed("UpdateInfo/database"), database ? "2021-01-01" : "");
    QCOMPARE(inst.readFile("rc.db") == databaseBefore, !database);
    QCOMPARE(QDir(inst.path("backup")).isEmpty(), !database);
    QCOMPARE(inst.installed("UpdateInfo/main"), main ? "2021-01-01" : "");
    QCOMPARE(inst.readFile("kestrelix.exe").contains("new build"), main);
    QCOMPARE(inst.installed("UpdateInfo/other"), other ? "2021-01-01" : otherBefore);
    QCOMPARE(inst.readFile("help/index.html") == "<p>help</p>", other);
    // Only the signed release arrived, and nothing outside the installation was touched.
    QCOMPARE(sqliteText(inst.path("rc.db"), "SELECT count(*) FROM rcmodels WHERE Brand = "
                                            "'foreign'"),
             "0");
    QCOMPARE(readFile(foreignDatabase), foreignBefore);
    QCOMPARE(entriesIn(outside.path()), (QStringList{"foreign.db", "victim", "victim-folder"}));
    QCOMPARE(readFile(victim), QByteArray("victim"));
    struct stat victimStat;
    QVERIFY(::stat(QFile::encodeName(victim).constData(), &victimStat) == 0);
    QCOMPARE(victimStat.st_mode & 07777, 0600u);
    QCOMPARE(entriesIn(victimFolder), QStringList{"kept"});
    QVERIFY(!QFileInfo(inst.path("kestrelix.exe")).isSymLink());
}

void TestSequence::oneRunAtATime_data()
{
    QTest::addColumn<bool>("lockRemoved");
    QTest::newRow("second start") << false;
    // Removing the lock file takes the lock from no one: the folder stays held.
    QTest::newRow("lock file removed meanwhile") << true;
}

void TestSequence::oneRunAtATime()
{
    // A second updater, started while the first is in its database step, waits for it, gives up
    // and touches nothing; the first finishes as if alone. What a killed run left goes.
    QFETCH(bool, lockRemoved);
    Installation inst;
    QVERIFY(inst.writeRecorderExecutable("kestrelix.exe", "old build"));
    offerPackages(inst);
    inst.setInstalled("UpdateInfo/serverdb", "");
    for (const char *key : {"UpdateInfo/main", "UpdateInfo/database", "UpdateInfo/other"})
        inst.setOffered(key, "2021-01-01");
    QVERIFY(inst.writeDatabase("rc.db", SampleData::DatabaseShape()));
    QVERIFY(inst.offerDatabase(Shapes::release()));
    QVERIFY(inst.writeFile(".update-work-Killed/rc.db", "left by a killed run"));
    QVERIFY(QFile::link(inst.path("update-tmp"), inst.path(".update-work-Killed/inside")));

    QStringList second;
    bool secondFoundItBusy = false;
    QStringList workFolders;
    Checkpoint::setHook([&](const QString &moment) {
        if (moment != "database unpacked" || !second.isEmpty())
            return;
        workFolders = QDir(inst.root()).entryList({".update-work-*"}, QDir::Dirs | QDir::Hidden);
        if (lockRemoved)
            QCOMPARE(OtherAccount::run("rm .update-lock", inst.root()), 0);
        Thread thread;
        thread.setLockWait(300);
        second = record(thread);
        secondFoundItBusy = thread.installationWasBusy();
    });
    std::unique_ptr<ActingAs> acting;
    if (::geteuid() == 0) {
        QVERIFY(OtherAccount::give(inst.root()));
        acting = std::make_unique<ActingAs>(OtherAccount::uid, OtherAccount::gid);
    }
    QTest::ignoreMessage(QtWarningMsg, "another update is running");
    const QStringList first = runWorker(inst);
    acting.reset();
    Checkpoint::setHook({});

    // The dialog then ends without starting the application (see tst_dialog).
    QCOMPARE(second,
             (QStringList{"progress 1000/1000", "text Another update is running.", "status -4"}));
    QVERIFY(secondFoundItBusy);
    QCOMPARE(workFolders.size(), 1);
    QVERIFY(workFolders.first() != ".update-work-Killed");
    QCOMPARE(first.mid(first.size() - 2), (QStringList{doneText, "status 0"}));
    QCOMPARE(inst.installed("UpdateInfo/database"), "2021-01-01");
    QVERIFY(inst.readFile("kestrelix.exe").contains("new build"));
    QCOMPARE(QDir(inst.root()).entryList({".update-work-*"}, QDir::AllEntries | QDir::Hidden),
             QStringList());
    // The leftover's link was removed as a link.
    QCOMPARE(inst.files("update-tmp").size(), 5);
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
#include "tst_sequence.moc"
