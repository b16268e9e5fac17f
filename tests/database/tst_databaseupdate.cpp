#include <functional>
#include <memory>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QTest>

#include "database/databaseupdate.h"
#include "tests/support/databaseshapes.h"
#include "tests/support/files.h"
#include "tests/support/installation.h"
#include "tests/support/sqliteoracle.h"
#include "tests/support/testdatabase.h"

namespace {

const QString updating = QStringLiteral("text Database updating...");
const QStringList untilExtracted = {updating, "progress 100/1000", "progress 200/1000",
                                    "progress 300/1000"};

// Every report of one run, in the order it was made.
class Reports
{
public:
    explicit Reports(DatabaseUpdate *update)
    {
        QObject::connect(update, &DatabaseUpdate::progress, [this](int current, int total) {
            events << QStringLiteral("progress %1/%2").arg(current).arg(total);
        });
        QObject::connect(update, &DatabaseUpdate::status,
                         [this](int status) { events << QStringLiteral("status %1").arg(status); });
        QObject::connect(update, &DatabaseUpdate::statusText,
                         [this](const QString &text) { events << QStringLiteral("text ") + text; });
    }
    QStringList events;
};

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

SampleData::DatabaseShape releaseShape()
{
    return Shapes::release(40, 12, 3);
}

// The user's models and keys, without the Prot column that a failed merge may have added.
QStringList userData(const QString &path)
{
    return sqliteRows(path, QStringLiteral("SELECT Rcid,Brand,Type,Model,Documentation,Link,"
                                           "Author,Correction,Own,Hidden,Flag,Hidden1 FROM "
                                           "rcmodels; SELECT * FROM rckeys;"));
}

bool connectionsRemain()
{
    const QStringList names = QSqlDatabase::connectionNames();
    return names.contains(QStringLiteral("curDB")) ||
           !names.filter(QStringLiteral("rc.db")).isEmpty();
}

// The run's private folders in the installation: one while a run works, none after it.
QStringList workFolders(const Installation &installation)
{
    return QDir(installation.root())
        .entryList({QStringLiteral(".update-work-*")}, QDir::AllEntries | QDir::Hidden);
}

constexpr QFileDevice::Permissions modeBits =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
    QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup |
    QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

} // namespace

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

private:
    void install(Installation &installation, bool withProt = false);
    void offerRelease(Installation &installation);
};

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
    Reports reports(&update);
    QSignalSpy statuses(&update, &DatabaseUpdate::status);
    QVERIFY(update.run(QDate(2027, 5, 1), true, QStringLiteral("1,3")));

    QCOMPARE(reports.events,
             (untilExtracted + QStringList{"progress 433/1000", "progress 566/1000",
                                           "progress 700/1000", "progress 800/1000"}));
    QCOMPARE(statuses.count(), 0);
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
    QByteArray unzipped;
    QCOMPARE(runProgram(QStringLiteral("unzip"),
                        {QStringLiteral("-p"),
                         installation.path(QStringLiteral("backup/")) + backups.constFirst(),
                         QStringLiteral("rc.db")},
                        {}, &unzipped),
             0);
    QCOMPARE(unzipped, before);
    QVERIFY(!before.contains("Prot INTEGER"));
    QVERIFY(installed.contains("Prot INTEGER"));
}

void TestDatabaseUpdate::nullVersionIsWrittenEmpty()
{
    Installation installation;
    install(installation, true);
    offerRelease(installation);
    DatabaseUpdate update;
    QVERIFY(update.run(QDate(), true, QStringLiteral("1")));
    QVERIFY(installation.readFile(QStringLiteral("config.ini")).contains("database=\n"));
}

void TestDatabaseUpdate::failures_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("events");

    const QStringList backupFailed = {updating, "progress 100/1000", "status -1",
                                      "text Can't create backup."};
    QTest::newRow("no backup folder") << "no backup folder" << backupFailed;
    QTest::newRow("database is a folder") << "database is a folder" << backupFailed;
    QTest::newRow("no database") << "no database" << backupFailed;
    // Unpacked meanwhile, and removed again: nothing is used without a complete backup.
    QTest::newRow("disk full during the backup")
        << "disk full"
        << QStringList{updating, "progress 100/1000", "status -1", "text Can't create backup."};

    const QStringList newFailed =
        untilExtracted + QStringList{"status -2", "text Can not open new database."};
    QTest::newRow("no package, stale files") << "no package" << newFailed;
    QTest::newRow("entry not named rc.db") << "wrong entry" << newFailed;
    QTest::newRow("not a database") << "not a database" << newFailed;

    const QStringList editFailed =
        untilExtracted + QStringList{"status -2", "text Can not edit database."};
    QTest::newRow("release without keys table") << "no keys table" << editFailed;
}

void TestDatabaseUpdate::failures()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, events);

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
    const QStringList tablesBefore = setup == QLatin1String("no database") ||
                                             setup == QLatin1String("database is a folder") ||
                                             setup == QLatin1String("disk full")
                                         ? QStringList()
                                         : userData(installation.path(QStringLiteral("rc.db")));

    if (setup == QLatin1String("disk full"))
        QVERIFY(installation.writeFile(QStringLiteral("rc.db"), randomBytes(256 * 1024, 7)));
    const QByteArray before = installation.readFile(QStringLiteral("rc.db"));

    DatabaseUpdate update;
    Reports reports(&update);
    {
        std::unique_ptr<FileSizeLimit> limit;
        if (setup == QLatin1String("disk full"))
            limit = std::make_unique<FileSizeLimit>(128 * 1024);
        QVERIFY(!update.run(QDate(2027, 5, 1), true, QStringLiteral("1,3")));
    }
    QCOMPARE(reports.events, events);
    QVERIFY(!connectionsRemain());

    QCOMPARE(installation.installed(QStringLiteral("UpdateInfo/database")),
             QStringLiteral("2020-01-01"));
    const bool backupMade = events.contains(QStringLiteral("progress 200/1000"));
    QCOMPARE(QDir(installation.path(QStringLiteral("backup"))).entryList(QDir::Files).size(),
             backupMade ? 1 : 0);
    // What an older run unpacked into the download folder goes once the step begins; this one
    // unpacks into its own folder, which is gone again.
    const bool backupBegun = backupMade || setup == QLatin1String("disk full");
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
    Reports reports(&update);
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
    QVERIFY(!update.run(QDate(2027, 5, 1), true, QStringLiteral("1,3")));
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
#include "tst_databaseupdate.moc"
