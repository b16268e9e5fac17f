#include "tests/robustness/tst_hostile.h"

#include <unistd.h>

#include <QFileInfo>

const QString oldVersion = QStringLiteral("2024-04-04");
const QString newVersion = QStringLiteral("2025-05-05");

void TestHostile::corpus()
{
    QFETCH(SetUp, spoil);
    QFETCH(int, status);
    QFETCH(QString, text);
    QFETCH(bool, executableReplaced);
    QFETCH(QString, logLine);
    QFETCH(Catalogue, catalogue);
    QFETCH(bool, restarted);
    if (QByteArray(QTest::currentDataTag()).startsWith("rights:") && ::geteuid() != 0)
        QSKIP("only root has rights to give up");

    // The installation sits alone in a folder of its own, beside a file that must stay as it is.
    QTemporaryDir outer;
    // Another account reaches the installation through it.
    QCOMPARE(::chmod(QFile::encodeName(outer.path()).constData(), 0755), 0);
    QVERIFY(QFile(outer.filePath("beside.txt")).open(QIODevice::WriteOnly));
    Installation inst(outer.path());
    QVERIFY(inst.writeRecorderExecutable("new-build", "new build"));
    const QString exe =
        "('software.exe',bytes.fromhex('" + inst.readFile("new-build").toHex() + "'),0o100755)";
    QVERIFY(QFile::remove(inst.path("new-build")));
    QVERIFY(inst.writeFile("config.ini", "[Settings]\nrcTypes=1,2\n[UpdateInfo]\nserverdb=\n"));
    for (const char *key : {"UpdateInfo/main", "UpdateInfo/database", "UpdateInfo/other"}) {
        inst.setInstalled(key, oldVersion);
        inst.setOffered(key, newVersion);
    }
    QVERIFY(inst.writeRecorderExecutable("kestrelix.exe", "old build"));
    QVERIFY(pythonZip(inst.path("update-tmp/main.zip"), "[" + exe + "]", "ZIP_DEFLATED"));
    QVERIFY(inst.offerPackage("other.zip", {{"help.txt", "help"}}));
    QVERIFY(QDir(inst.path("pkg-other")).removeRecursively());
    QVERIFY(inst.writeDatabase("rc.db", Shapes::firstGenerationUser(20)));
    QVERIFY(inst.offerDatabase(Shapes::release()));

    spoil(inst, exe);
    if (QTest::currentTestFailed())
        return;

    const QString db = inst.path("rc.db");
    // What the journal restores, for a torn file.
    const QString ownBefore = catalogue == Catalogue::Spoilt ? QString() : committedOwnModels(db);
    const QByteArray bytesBefore = inst.readFile("rc.db");
    const QByteArray configBefore = inst.readFile("config.ini");

    QCOMPARE(runUpdater(inst), 0);

    const QString log = QString::fromUtf8(inst.readFile("update/update.log"));
    QVERIFY2(log.contains(QStringLiteral("status: %1\n").arg(status)), qPrintable(log.right(900)));
    if (!text.isEmpty())
        QVERIFY2(log.contains("text: " + text + "\n"), qPrintable(log.right(900)));
    if (!logLine.isEmpty())
        QVERIFY2(log.contains(logLine), qPrintable(log.right(900)));
    if (restarted)
        QVERIFY(inst.waitForStarts(1));

    QCOMPARE(inst.readFile("kestrelix.exe").contains("new build"), executableReplaced);
    // A refused main package leaves nothing of itself behind, and the other files still come.
    QVERIFY(!inst.exists("landed"));
    if (QByteArray(QTest::currentDataTag()).startsWith("package:") && !executableReplaced)
        QCOMPARE(inst.readFile("help.txt"), QByteArray("help"));
    // The version follows the executable, unless it can not be written at all.
    const bool unrecordable = logLine.contains("could not be recorded");
    QCOMPARE(inst.installed("UpdateInfo/main") == newVersion, executableReplaced && !unrecordable);
    if (unrecordable)
        QCOMPARE(inst.readFile("config.ini"), configBefore);

    // What the run made belongs to the installation's owner, and nothing the owner could not
    // read arrived; no command line ran.
    const uint owner = QFileInfo(inst.root()).ownerId();
    for (const QString &made : inst.files("backup") + QStringList{"update/update.log"})
        QCOMPARE(
            QFileInfo(inst.path(made.startsWith("update/") ? made : "backup/" + made)).ownerId(),
            owner);
    if (executableReplaced)
        QCOMPARE(QFileInfo(inst.path("kestrelix.exe")).ownerId(), owner);
    QVERIFY(!inst.exists("secret.txt"));
    QVERIFY(!inst.exists("out.exe"));
    for (auto it = rootOnlyFiles().cbegin(); it != rootOnlyFiles().cend(); ++it)
        QCOMPARE(readFile(it.key()), it.value());

    // Nothing beside the installation changed, and nothing escaped anywhere else.
    QCOMPARE(entriesIn(outer.path()),
             (QStringList{"beside.txt", QFileInfo(inst.root()).fileName()}));
    QCOMPARE(QFileInfo(outer.filePath("beside.txt")).size(), 0);
    QVERIFY(!QFile::exists("/tmp/kx-hostile-absolute.txt"));

    if (catalogue != Catalogue::Spoilt) {
        QCOMPARE(sqliteText(db, "PRAGMA integrity_check"), "ok");
        QCOMPARE(ownModelsWithKeys(db), ownBefore);
    } else {
        QCOMPARE(inst.readFile("rc.db"), bytesBefore);
    }
    if (status < 0 && status > -4) // the database step failed
        QCOMPARE(inst.installed("UpdateInfo/database"), oldVersion);

    if (catalogue == Catalogue::Torn) {
        // The backup holds the database as last committed, not the torn file.
        const QString restored = inst.unpackedBackup();
        QVERIFY(!restored.isEmpty());
        QCOMPARE(sqliteText(restored, "PRAGMA integrity_check"), "ok");
        QCOMPARE(sqliteText(restored, "SELECT count(*) FROM rcmodels WHERE Brand='torn'"), "0");
        QCOMPARE(ownModelsWithKeys(restored), ownBefore);
    }
}

QTEST_GUILESS_MAIN(TestHostile)
