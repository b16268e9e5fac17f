#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include "tests/support/installation.h"
#include "tools/sampledata/sampledatabase.h"

namespace {

const QString oldVersion = QStringLiteral("2024-04-04");
const QString newVersion = QStringLiteral("2025-05-05");

// Writes a package with Python's zipfile, which takes names and modes exactly as given, then
// lets the script patch the bytes (d) before they are written.
bool pythonPackage(const QString &archive, const QString &entries, const QString &patch = {})
{
    const QString script = QStringLiteral("import io,struct,sys,zipfile\n"
                                          "b=io.BytesIO()\n"
                                          "z=zipfile.ZipFile(b,'w',zipfile.ZIP_DEFLATED)\n"
                                          "for name,data,mode in %1:\n"
                                          "    i=zipfile.ZipInfo(name)\n"
                                          "    i.create_system=3\n"
                                          "    i.external_attr=mode<<16\n"
                                          "    i.compress_type=zipfile.ZIP_DEFLATED\n"
                                          "    z.writestr(i,data)\n"
                                          "z.close()\n"
                                          "d=bytearray(b.getvalue())\n"
                                          "%2\n"
                                          "open(sys.argv[1],'wb').write(d)\n")
                               .arg(entries, patch);
    return runProgram("python3", {"-c", script, archive}, QDir::tempPath()) == 0;
}

// Every central directory record claims the given uncompressed size.
QString claimSize(quint32 size)
{
    return QStringLiteral("c=d.find(b'PK\\x01\\x02')\n"
                          "while c>=0:\n"
                          "    d[c+24:c+28]=struct.pack('<I',%1)\n"
                          "    c=d.find(b'PK\\x01\\x02',c+4)")
        .arg(size);
}

QString ownModels(const QString &db)
{
    return sqliteText(db, "SELECT m.Rcid, count(k.Rcid) FROM rcmodels m LEFT JOIN rckeys k ON "
                          "k.Rcid = m.Rcid WHERE m.Own = 1 GROUP BY m.Rcid ORDER BY m.Rcid");
}

QStringList listing(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

class TestHostile : public QObject
{
    Q_OBJECT

private slots:
    void corpus_data();
    void corpus();
};

// Each case spoils one input; the outcome is the status the user sees (with its text for a
// failure) and whether the new executable arrived. In every case nothing outside the
// installation is touched and the user's catalogue keeps every own model with its keys.
void TestHostile::corpus_data()
{
    QTest::addColumn<QString>("spoil");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("executableReplaced");
    QTest::addColumn<QString>("logLine");

    const QString failed = QStringLiteral("Some updates could not be installed.");
    QTest::newRow("package: ../ entry")
        << "pkg:../escape.txt" << -4 << failed << false << "not installed:";
    QTest::newRow("package: ..\\ entry")
        << "pkg:..\\\\escape.txt" << -4 << failed << false << "not installed:";
    QTest::newRow("package: absolute entry")
        << "pkg:/tmp/kx-hostile-absolute.txt" << -4 << failed << false << "not installed:";
    QTest::newRow("package: drive letter")
        << "pkg:C:/escape.txt" << -4 << failed << false << "not installed:";
    QTest::newRow("package: file through an outside link")
        << "link" << -4 << failed << false << "not installed:";
    QTest::newRow("package: one name twice") << "twice" << -4 << failed << false << "appears twice";
    QTest::newRow("package: truncated")
        << "truncated" << -4 << failed << false << "not a ZIP archive";
    QTest::newRow("package: zero bytes") << "empty" << -4 << failed << false << "not a ZIP archive";
    QTest::newRow("package: text named .zip")
        << "text" << -4 << failed << false << "not a ZIP archive";
    // The data itself is whole and its checksum right: what it holds is what lands.
    QTest::newRow("package: size claimed beyond its data") << "claimed" << 0 << "" << true << "";
    QTest::newRow("package: larger than the free space")
        << "huge" << -4 << failed << false << "bytes, ";
    QTest::newRow("database: zero bytes")
        << "db-empty" << -2 << "Can not edit database." << false << "";
    QTest::newRow("database: not a database")
        << "db-text" << -2 << "Can not open current database." << false << "";
    QTest::newRow("database: hot journal beside it")
        << "db-journal" << 0 << "" << true << "Rolled back an interrupted transaction";
    QTest::newRow("database: a folder")
        << "db-folder" << -1 << "Can't create backup." << false << "";
    QTest::newRow("release: no rckeys")
        << "release-nokeys" << -2 << "Can not edit database." << false << "";
    QTest::newRow("release: no Hidden1")
        << "release-nocolumn" << -2 << "Can not edit database." << false << "";
    QTest::newRow("settings: binary garbage") << "ini-garbage" << 0 << "" << true << "";
    // The executable can not take a name that long: a failure, the rest installed.
    QTest::newRow("settings: very long name") << "ini-long" << -4 << failed << false << "";
    QTest::newRow("settings: dates in another form") << "ini-dates" << 0 << "" << true << "";
    QTest::newRow("settings: mode not a number") << "ini-mode" << 0 << "" << true << "";
}

void TestHostile::corpus()
{
    QFETCH(QString, spoil);
    QFETCH(int, status);
    QFETCH(QString, text);
    QFETCH(bool, executableReplaced);
    QFETCH(QString, logLine);

    // The installation sits alone in a folder of its own, beside a file that must stay as it is.
    QTemporaryDir outer;
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
    QVERIFY(pythonPackage(inst.path("update-tmp/main.zip"), "[" + exe + "]"));
    QVERIFY(inst.writeFile("pkg-other/help.txt", "help"));
    QVERIFY(inst.zipFolder("other.zip", "pkg-other"));

    SampleData::DatabaseShape current;
    current.layout = SampleData::Layout::First;
    current.ownModels = 20;
    current.withQuotes = true;
    current.withNulls = true;
    QVERIFY(SampleData::writeDatabase(inst.path("rc.db"), current));
    SampleData::DatabaseShape release;
    QDir().mkpath(inst.path("pkg-db"));
    QVERIFY(SampleData::writeDatabase(inst.path("pkg-db/rc.db"), release));

    const QString mainZip = inst.path("update-tmp/main.zip");
    if (spoil.startsWith("pkg:"))
        QVERIFY(pythonPackage(mainZip, "[" + exe + ",('" + spoil.mid(4) + "',b'x',0o100644)]"));
    else if (spoil == "link")
        QVERIFY(pythonPackage(
            mainZip, "[" + exe + ",('l',b'../..',0o120777),('l/escape.txt',b'x',0o100644)]"));
    else if (spoil == "twice")
        QVERIFY(pythonPackage(mainZip, "[" + exe + ",('software.exe',b'other',0o100755)]"));
    else if (spoil == "truncated")
        QVERIFY(
            inst.writeFile("update-tmp/main.zip", inst.readFile("update-tmp/main.zip").left(60)));
    else if (spoil == "empty")
        QVERIFY(inst.writeFile("update-tmp/main.zip", {}));
    else if (spoil == "text")
        QVERIFY(inst.writeFile("update-tmp/main.zip", "PK? no, just text\n"));
    else if (spoil == "claimed")
        QVERIFY(pythonPackage(mainZip, "[" + exe + "]", claimSize(50 << 20)));
    else if (spoil == "huge") {
        QString many = "[";
        for (int i = 0; i < 64; ++i)
            many += QStringLiteral("('part%1',b'x',0o100644),").arg(i);
        QVERIFY(pythonPackage(mainZip, many + exe + "]", claimSize(0xFFFFFFF0u)));
    } else if (spoil == "db-empty")
        QVERIFY(inst.writeFile("rc.db", {}));
    else if (spoil == "db-text")
        QVERIFY(inst.writeFile("rc.db", QByteArray(4096, 'T')));
    else if (spoil == "db-folder") {
        QVERIFY(QFile::remove(inst.path("rc.db")));
        QVERIFY(QDir().mkpath(inst.path("rc.db/inside")));
    } else if (spoil == "release-nokeys")
        QCOMPARE(sqliteText(inst.path("pkg-db/rc.db"), "DROP TABLE rckeys"), "");
    else if (spoil == "release-nocolumn")
        QCOMPARE(
            sqliteText(inst.path("pkg-db/rc.db"), "ALTER TABLE rcmodels DROP COLUMN Correction"),
            "");
    else if (spoil == "ini-garbage") {
        QByteArray garbage;
        for (int i = 0; i < 4096; ++i)
            garbage += char((i * 131 + 7) % 256);
        QVERIFY(inst.writeFile("config.ini", garbage));
    } else if (spoil == "ini-long")
        inst.setInstalled("Settings/softwareName", QString(300, 'k'));
    else if (spoil == "ini-dates") {
        inst.setInstalled("UpdateInfo/main", "04.04.2030");
        inst.setInstalled("UpdateInfo/database", "2030/04/04");
    } else if (spoil == "ini-mode")
        inst.setOffered("UpdateInfo/updateMode", "two");
    if (spoil == "db-journal") {
        // A program that died inside a transaction: changed pages are in the file, the
        // originals in the journal beside it.
        const QString script = "import os,sqlite3,sys\n"
                               "c=sqlite3.connect(sys.argv[1],isolation_level=None)\n"
                               "c.execute('PRAGMA cache_size=1')\n"
                               "c.execute('BEGIN')\n"
                               "c.execute(\"UPDATE rcmodels SET Brand='torn'\")\n"
                               "c.execute(\"UPDATE rckeys SET Name='torn'\")\n"
                               "os._exit(0)\n";
        QCOMPARE(runProgram("python3", {"-c", script, inst.path("rc.db")}, inst.root()), 0);
        QVERIFY(inst.exists("rc.db-journal"));
    }
    QVERIFY(inst.zipFolder("rcdb.zip", "pkg-db"));
    QVERIFY(QDir(inst.path("pkg-db")).removeRecursively());
    QVERIFY(QDir(inst.path("pkg-other")).removeRecursively());

    const QString db = inst.path("rc.db");
    const bool usableDatabase = !spoil.startsWith("db-") || spoil == "db-journal";
    QString ownBefore;
    if (spoil == "db-journal") {
        // What the journal restores, read from a copy so that the original stays torn.
        QDir().mkpath(inst.path("copy"));
        QVERIFY(QFile::copy(db, inst.path("copy/rc.db")));
        QVERIFY(QFile::copy(db + "-journal", inst.path("copy/rc.db-journal")));
        ownBefore = ownModels(inst.path("copy/rc.db"));
        QCOMPARE(
            sqliteText(inst.path("copy/rc.db"), "SELECT count(*) FROM rcmodels WHERE Brand='torn'"),
            "0");
        QVERIFY(QDir(inst.path("copy")).removeRecursively());
    } else if (usableDatabase) {
        ownBefore = ownModels(db);
    }
    const QByteArray bytesBefore = inst.readFile("rc.db");

    QCOMPARE(runUpdater(inst), 0);

    const QString log = QString::fromUtf8(inst.readFile("update/update.log"));
    QVERIFY2(log.contains(QStringLiteral("status: %1\n").arg(status)), qPrintable(log.right(900)));
    if (!text.isEmpty())
        QVERIFY2(log.contains("text: " + text + "\n"), qPrintable(log.right(900)));
    if (!logLine.isEmpty())
        QVERIFY2(log.contains(logLine), qPrintable(log.right(900)));
    if (spoil != "ini-long")
        QVERIFY(inst.waitForStarts(1));

    QCOMPARE(inst.readFile("kestrelix.exe").contains("new build"), executableReplaced);
    QCOMPARE(inst.installed("UpdateInfo/main") == newVersion, executableReplaced);

    // Nothing beside the installation changed, and nothing escaped anywhere else.
    QCOMPARE(listing(outer.path()), (QStringList{"beside.txt", QFileInfo(inst.root()).fileName()}));
    QCOMPARE(QFileInfo(outer.filePath("beside.txt")).size(), 0);
    QVERIFY(!QFile::exists("/tmp/kx-hostile-absolute.txt"));

    if (usableDatabase) {
        QCOMPARE(sqliteText(db, "PRAGMA integrity_check"), "ok");
        QCOMPARE(ownModels(db), ownBefore);
    } else {
        QCOMPARE(inst.readFile("rc.db"), bytesBefore);
    }
    if (status < 0 && status > -4) // the database step failed
        QCOMPARE(inst.installed("UpdateInfo/database"), oldVersion);

    if (spoil == "db-journal") {
        // The backup holds the database as last committed, not the torn file.
        const QStringList backups = QDir(inst.path("backup")).entryList({"rcdb-*.zip"});
        QCOMPARE(backups.size(), 1);
        QByteArray backedUp;
        QCOMPARE(runProgram("unzip", {"-p", inst.path("backup/" + backups.first()), "rc.db"},
                            inst.root(), &backedUp),
                 0);
        QVERIFY(inst.writeFile("restored/rc.db", backedUp));
        QCOMPARE(sqliteText(inst.path("restored/rc.db"), "PRAGMA integrity_check"), "ok");
        QCOMPARE(sqliteText(inst.path("restored/rc.db"),
                            "SELECT count(*) FROM rcmodels WHERE Brand='torn'"),
                 "0");
        QCOMPARE(ownModels(inst.path("restored/rc.db")), ownBefore);
    }
}

QTEST_GUILESS_MAIN(TestHostile)
#include "tst_hostile.moc"
