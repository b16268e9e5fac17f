#include "tests/database/tst_databaseupdate.h"

#include <memory>
#include <unistd.h>

#include <QRegularExpression>
#include <QSqlDatabase>

StepReports::StepReports(DatabaseUpdate *update)
{
    QObject::connect(update, &DatabaseUpdate::progress, this, &Reports::progress);
    QObject::connect(update, &DatabaseUpdate::statusText, this, &Reports::text);
}

bool StepReports::record(const DatabaseUpdate::Result &result)
{
    cause = result.cause;
    if (!result) {
        status(result.status);
        text(result.text);
    }
    if (!rising)
        events << QStringLiteral("progress went back");
    return bool(result);
}

SampleData::DatabaseShape installedShape(bool withProt)
{
    SampleData::DatabaseShape shape;
    shape.withProt = withProt;
    shape.suppliedModels = 30;
    shape.keySets = 10;
    shape.keysPerSet = 3;
    shape.firstRcid = 100;
    shape.ownModels = 3;
    shape.keysPerOwnModel = 2;
    shape.ownFirstRcid = 1;
    shape.withQuotes = true;
    return shape;
}

DatabaseUpdate::Result runStep(DatabaseUpdate &update)
{
    return runDatabaseStep(update, QDate(2027, 5, 1), true, QStringLiteral("1,3"));
}

bool connectionsRemain()
{
    const QStringList names = QSqlDatabase::connectionNames();
    return names.contains(QStringLiteral("curDB")) ||
           !names.filter(QStringLiteral("rc.db")).isEmpty();
}

QStringList workFolders(const Installation &installation)
{
    return QDir(installation.root())
        .entryList({QStringLiteral(".update-work-*")}, QDir::AllEntries | QDir::Hidden);
}

namespace {

// The user's models and keys, without the Prot column that a failed merge may have added.
QStringList userData(const QString &path)
{
    return sqliteRows(path, QStringLiteral("SELECT Rcid,Brand,Type,Model,Documentation,Link,"
                                           "Author,Correction,Own,Hidden,Flag,Hidden1 FROM "
                                           "rcmodels; SELECT * FROM rckeys;"));
}

constexpr QFileDevice::Permissions modeBits =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
    QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
    QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

} // namespace

// The user's installation, entered: a catalogue made on 2020-01-01 that only its owner may write.
void TestDatabaseUpdate::install(Installation &installation, bool withProt)
{
    installation.enter();
    QVERIFY(installation.writeFile(QStringLiteral("config.ini"),
                                   "[UpdateInfo]\ndatabase=2020-01-01\n"));
    QVERIFY(installation.writeDatabase(QStringLiteral("rc.db"), installedShape(withProt)));
    QVERIFY(QFile::setPermissions(installation.path(QStringLiteral("rc.db")),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                      QFileDevice::ReadGroup));
}

void TestDatabaseUpdate::offerRelease(Installation &installation)
{
    QVERIFY(installation.offerDatabase(releaseShape()));
}

void TestDatabaseUpdate::success_data()
{
    QTest::addColumn<QString>("encoding");
    QTest::newRow("UTF-8") << "UTF-8";
    // Written by an older tool; the release stays in UTF-8.
    QTest::newRow("user's file in UTF-16") << "UTF-16le";
}

void TestDatabaseUpdate::success()
{
    QFETCH(QString, encoding);
    Installation installation;
    install(installation);
    if (encoding != QLatin1String("UTF-8"))
        QVERIFY(convertEncoding(installation.path(QStringLiteral("rc.db")), encoding));
    offerRelease(installation);
    const QByteArray before = installation.readFile(QStringLiteral("rc.db"));
    const QFileDevice::Permissions modeBefore =
        QFile::permissions(installation.path(QStringLiteral("rc.db"))) & modeBits;

    DatabaseUpdate update;
    StepReports reports(&update);
    QVERIFY(reports.record(runStep(update)));

    QCOMPARE(reports.events,
             (untilExtracted + QStringList{"progress 700/1000", "progress 800/1000"}));
    QVERIFY(!connectionsRemain());

    // The merged release took the place of the user's file, with its mode, and its version is
    // recorded; nothing of it was ever written into the download folder.
    const QByteArray installed = installation.readFile(QStringLiteral("rc.db"));
    QCOMPARE(installation.installed(QStringLiteral("UpdateInfo/database")),
             QStringLiteral("2027-05-01"));
    QCOMPARE(installation.files(QString()), (QStringList{"config.ini", "rc.db"}));
    QCOMPARE(QFile::permissions(installation.path(QStringLiteral("rc.db"))) & modeBits, modeBefore);
    QCOMPARE(installation.files(QStringLiteral("update-tmp")), (QStringList{"rcdb.zip"}));
    QCOMPARE(workFolders(installation), QStringList());
    const QString rcdb = installation.path(QStringLiteral("rc.db"));
    QCOMPARE(sqliteRows(rcdb, QStringLiteral("SELECT count(*), sum(Hidden) FROM rcmodels "
                                             "WHERE Own = 1")),
             (QStringList{"3|0"}));
    QCOMPARE(sqliteRows(rcdb, QStringLiteral("SELECT Brand, Author FROM rcmodels WHERE Rcid = 2")),
             (QStringList{"Joes|O'Neil"}));
    // The own models 1 to 3 took the places of the release's models 1 to 3.
    QCOMPARE(sqliteRows(rcdb, QStringLiteral("SELECT count(*) FROM rcmodels")), QStringList{"40"});

    // One backup, holding the file as it was before Prot was added.
    const QStringList backups = installation.files(QStringLiteral("backup"));
    QCOMPARE(backups.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^rcdb-\\d{6}-\\d{4}\\.zip$"))
                 .match(backups.constFirst())
                 .hasMatch(),
             qPrintable(backups.constFirst()));
    QCOMPARE(readFile(installation.unpackedBackup()), before);
    QVERIFY(!before.contains("Prot INTEGER"));
    QVERIFY(installed.contains("Prot INTEGER"));
}

void TestDatabaseUpdate::nullVersionIsWrittenEmpty()
{
    Installation installation;
    install(installation, true);
    offerRelease(installation);
    DatabaseUpdate update;
    QVERIFY(runDatabaseStep(update, QDate(), true, QStringLiteral("1")));
    QVERIFY(installation.readFile(QStringLiteral("config.ini")).contains("database=\n"));
}

void TestDatabaseUpdate::failures_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QString>("cause"); // what update.log is told

    const QStringList backupFailed = {updating, "progress 100/1000", "status -1",
                                      "text Can't create backup."};
    QTest::newRow("no backup folder")
        << "no backup folder" << backupFailed << "No such file or directory";
    QTest::newRow("database is a folder")
        << "database is a folder" << backupFailed << "is a folder";
    QTest::newRow("no database") << "no database" << backupFailed << "is not there";
    // Unpacked meanwhile, and removed again: nothing is used without a complete backup.
    QTest::newRow("disk full during the backup")
        << "disk full"
        << QStringList{updating, "progress 100/1000", "status -1", "text Can't create backup."}
        << "File too large";
    QTest::newRow("backup folder on a full file system")
        << "small file system"
        << QStringList{updating, "progress 100/1000", "status -1", "text Can't create backup."}
        << "No space left on device";

    const QStringList newFailed =
        untilExtracted + QStringList{"status -2", "text Can not open new database."};
    QTest::newRow("no package, stale files") << "no package" << newFailed << "rcdb.zip is missing";
    QTest::newRow("entry not named rc.db") << "wrong entry" << newFailed << "holds no entry rc.db";
    QTest::newRow("not a database") << "not a database" << newFailed << "the release is damaged";

    const QStringList editFailed =
        untilExtracted + QStringList{"status -2", "text Can not edit database."};
    QTest::newRow("release without keys table") << "no keys table" << editFailed << "rckeys";
}

void TestDatabaseUpdate::failures()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, events);
    QFETCH(QString, cause);

    Installation installation;
    install(installation);
    const QString package = QStringLiteral("pkg-db");
    if (setup == QLatin1String("no keys table")) {
        QVERIFY(installation.writeDatabase(QStringLiteral("pkg-db/rc.db"), releaseShape()));
        {
            TestDatabase db(installation.path(QStringLiteral("pkg-db/rc.db")));
            QVERIFY(db.exec(QStringLiteral("DROP TABLE rckeys")));
        }
        QVERIFY(installation.zipFolder(QStringLiteral("rcdb.zip"), package));
    } else if (setup == QLatin1String("wrong entry")) {
        QVERIFY(installation.writeDatabase(QStringLiteral("pkg-db/other.db"), releaseShape()));
        QVERIFY(installation.zipFolder(QStringLiteral("rcdb.zip"), package));
    } else if (setup == QLatin1String("not a database")) {
        QVERIFY(installation.writeFile(QStringLiteral("pkg-db/rc.db"),
                                       QByteArray("this is no database, ").repeated(100)));
        QVERIFY(installation.zipFolder(QStringLiteral("rcdb.zip"), package));
    } else if (setup != QLatin1String("no package")) {
        offerRelease(installation);
    }
    // A new database and journal left by an earlier run never pass for this package's.
    QVERIFY(installation.writeFile(QStringLiteral("update-tmp/rc.db"), "stale"));
    QVERIFY(installation.writeFile(QStringLiteral("update-tmp/rc.db-journal"), "stale"));

    if (setup == QLatin1String("no backup folder"))
        QVERIFY(QDir(installation.path(QStringLiteral("backup"))).removeRecursively());
    if (setup == QLatin1String("database is a folder") || setup == QLatin1String("no database"))
        QVERIFY(QFile::remove(installation.path(QStringLiteral("rc.db"))));
    if (setup == QLatin1String("database is a folder"))
        QVERIFY(QDir().mkpath(installation.path(QStringLiteral("rc.db"))));
    // A catalogue whose archive can not be smaller than the room left on the disk.
    if (setup == QLatin1String("disk full") || setup == QLatin1String("small file system"))
        QCOMPARE(sqliteText(installation.path(QStringLiteral("rc.db")),
                            QStringLiteral("CREATE TABLE noise(b); INSERT INTO noise VALUES "
                                           "(randomblob(262144))")),
                 QString());
    const QStringList tablesBefore =
        setup == QLatin1String("no database") || setup == QLatin1String("database is a folder")
            ? QStringList()
            : userData(installation.path(QStringLiteral("rc.db")));
    const QByteArray before = installation.readFile(QStringLiteral("rc.db"));

    DatabaseUpdate update;
    StepReports reports(&update);
    {
        std::unique_ptr<FileSizeLimit> limit;
        if (setup == QLatin1String("disk full"))
            limit = std::make_unique<FileSizeLimit>(128 * 1024);
        std::unique_ptr<SmallFileSystem> small;
        if (setup == QLatin1String("small file system")) {
            if (::geteuid() != 0)
                QSKIP("only root can mount a file system");
            small = std::make_unique<SmallFileSystem>(installation.path(QStringLiteral("backup")),
                                                      64 * 1024, 0);
            QVERIFY(small->isMounted());
        }
        QVERIFY(!reports.record(runStep(update)));
    }
    QCOMPARE(reports.events, events);
    QVERIFY2(reports.cause.contains(cause), qPrintable(reports.cause));
    QVERIFY(!connectionsRemain());

    QCOMPARE(installation.installed(QStringLiteral("UpdateInfo/database")),
             QStringLiteral("2020-01-01"));
    const bool backupMade = events.contains(QStringLiteral("progress 200/1000"));
    QCOMPARE(QDir(installation.path(QStringLiteral("backup"))).entryList(QDir::Files).size(),
             backupMade ? 1 : 0);
    // What an older run unpacked into the download folder goes once the step begins; this one
    // unpacks into its own folder, which is gone again.
    const bool backupBegun = backupMade || setup == QLatin1String("disk full") ||
                             setup == QLatin1String("small file system");
    QCOMPARE(QFile::exists(installation.path(QStringLiteral("update-tmp/rc.db"))), !backupBegun);
    QCOMPARE(QFile::exists(installation.path(QStringLiteral("update-tmp/rc.db-journal"))),
             !backupBegun);
    QCOMPARE(workFolders(installation), QStringList());
    // The user's data is all there; a failed merge may have added no more than Prot.
    if (!tablesBefore.isEmpty())
        QCOMPARE(userData(installation.path(QStringLiteral("rc.db"))), tablesBefore);
    if (setup != QLatin1String("no keys table"))
        QCOMPARE(installation.readFile(QStringLiteral("rc.db")), before);
}

void TestDatabaseUpdate::replacementFails_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("text");
    QTest::newRow("copy fails") << "copy"
                                << "Can't copy new database1";
    QTest::newRow("rename fails") << "rename"
                                  << "Can't copy new database";
}

// The last merge step is the moment to spoil the replacement: the merge then still commits and
// the visibility runs, and only putting the file in place can fail.
void TestDatabaseUpdate::replacementFails()
{
    QFETCH(QString, setup);
    QFETCH(QString, text);
    Installation installation;
    install(installation, true);
    offerRelease(installation);
    const QByteArray before = installation.readFile(QStringLiteral("rc.db"));

    DatabaseUpdate update;
    StepReports reports(&update);
    QObject::connect(&update, &DatabaseUpdate::progress, [&](int current, int) {
        if (current != 700)
            return;
        if (setup == QLatin1String("copy")) {
            // The merged file is gone before it could reach the disk.
            const QStringList work = workFolders(installation);
            QCOMPARE(work.size(), 1);
            QVERIFY(QFile::remove(installation.path(work.first() + QStringLiteral("/rc.db"))));
        } else {
            // Something that a rename can not replace now stands at ../rc.db.
            QFile::rename(installation.path(QStringLiteral("rc.db")),
                          installation.path(QStringLiteral("rc.db.kept")));
            QDir().mkpath(installation.path(QStringLiteral("rc.db")));
            installation.writeFile(QStringLiteral("rc.db/inside"), "x");
        }
    });
    QVERIFY(!reports.record(runStep(update)));
    QCOMPARE(reports.events.mid(reports.events.size() - 2),
             (QStringList{"status -3", "text " + text}));
    QVERIFY(reports.events.contains(QStringLiteral("progress 700/1000")));
    QVERIFY(!connectionsRemain());

    QCOMPARE(installation.installed(QStringLiteral("UpdateInfo/database")),
             QStringLiteral("2020-01-01"));
    if (setup == QLatin1String("copy")) {
        QCOMPARE(installation.readFile(QStringLiteral("rc.db")), before);
        QCOMPARE(installation.files(QString()), (QStringList{"config.ini", "rc.db"}));
    } else {
        QCOMPARE(installation.readFile(QStringLiteral("rc.db/inside")), QByteArray("x"));
        QCOMPARE(installation.readFile(QStringLiteral("rc.db.kept")), before);
        QCOMPARE(installation.files(QString()), (QStringList{"config.ini", "rc.db.kept"}));
    }
    QCOMPARE(workFolders(installation), QStringList());
}
QTEST_GUILESS_MAIN(TestDatabaseUpdate)
