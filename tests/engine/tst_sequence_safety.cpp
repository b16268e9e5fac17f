#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QHash>
#include <QTemporaryDir>

#include "common/diagnostics/checkpoint.h"
#include "tests/engine/tst_sequence.h"
#include "tests/support/files.h"
#include "tests/support/otherprocess.h"
#include "tests/support/sqliteoracle.h"

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
