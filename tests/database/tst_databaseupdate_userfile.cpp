// The user's file while another program uses it, and in the states other programs leave it in.

#include "common/diagnostics/checkpoint.h"
#include "tests/database/tst_databaseupdate.h"
#include "tests/support/otherprocess.h"

void TestDatabaseUpdate::otherProgramUsesTheDatabase_data()
{
    QTest::addColumn<int>("hold");
    QTest::newRow("read transaction") << int(DatabaseUser::Hold::ReadTransaction);
    QTest::newRow("pending write") << int(DatabaseUser::Hold::PendingWrite);
    QTest::newRow("exclusive write") << int(DatabaseUser::Hold::ExclusiveWrite);
    QTest::newRow("WAL reader") << int(DatabaseUser::Hold::WalReader);
    // Holding nothing when the step begins, it tries to commit at every moment from the hold to
    // the rename: through a fresh connection and through the one it had opened before.
    QTest::newRow("writer at every moment") << int(DatabaseUser::Hold::Probe);
}

// While another program uses ../rc.db the step waits, then gives up with nothing changed: a write
// that program had pending lands in the user's file, not in one that is about to go.
void TestDatabaseUpdate::otherProgramUsesTheDatabase()
{
    QFETCH(int, hold);
    Installation installation;
    install(installation, true);
    offerRelease(installation);
    const QString db = installation.path(QStringLiteral("rc.db"));
    const QString ownBefore = ownModelsWithKeys(db);

    DatabaseUser user(db, DatabaseUser::Hold(hold));
    QVERIFY(user.isHolding());
    DatabaseUpdate update;
    update.setBusyWait(300);
    StepReports reports(&update);
    if (hold == int(DatabaseUser::Hold::Probe)) {
        // Whatever the other program commits now would be lost with the old file.
        QStringList probes;
        Checkpoint::setHook([&](const QString &moment) {
            if (moment.startsWith(QLatin1String("database ")) ||
                moment == QLatin1String("own models merged"))
                probes << moment + QStringLiteral(": ") + user.probe();
        });
        const bool updated = reports.record(runStep(update));
        Checkpoint::setHook({});
        QVERIFY2(updated, qPrintable(reports.cause));
        QVERIFY(user.release());
        const QString refused = QStringLiteral(": lock=held fresh=refused early=refused");
        QCOMPARE(probes, (QStringList{"database held" + refused, "database unpacked" + refused,
                                      "own models merged" + refused, "database ready" + refused}));
        QCOMPARE(sqliteText(db, QStringLiteral("SELECT count(*) FROM rcmodels WHERE Rcid = %1")
                                    .arg(DatabaseUser::heldRcid)),
                 QStringLiteral("0"));
        return;
    }
    QVERIFY(!reports.record(runStep(update)));
    QVERIFY(user.release());

    QCOMPARE(reports.events, (QStringList{updating, "progress 100/1000", "status -2",
                                          "text Can not open current database."}));
    QVERIFY(!connectionsRemain());
    QCOMPARE(installation.installed(QStringLiteral("UpdateInfo/database")),
             QStringLiteral("2020-01-01"));
    QCOMPARE(installation.files(QStringLiteral("backup")), QStringList());
    QCOMPARE(workFolders(installation), QStringList());
    const bool pending = hold == int(DatabaseUser::Hold::PendingWrite);
    QCOMPARE(sqliteText(db, QStringLiteral("SELECT count(*) FROM rcmodels WHERE Rcid = %1")
                                .arg(DatabaseUser::heldRcid)),
             pending ? QStringLiteral("1") : QStringLiteral("0"));
    if (!pending)
        QCOMPARE(ownModelsWithKeys(db), ownBefore);
}

namespace {

bool python(const QString &script, const QStringList &arguments)
{
    return runProgram(QStringLiteral("python3"),
                      QStringList{QStringLiteral("-c"), script} + arguments) == 0;
}

// A program that ended without closing its connection: what it committed last is only in the WAL.
const QString walOnlyModel = QStringLiteral(
    "import os, sqlite3, sys\n"
    "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
    "c.execute('PRAGMA journal_mode=WAL')\n"
    "c.execute(\"INSERT INTO rcmodels(Rcid, Brand, Type, Model, Own, Flag, Hidden, Hidden1, Prot) "
    "VALUES (55, 'WAL', 'TV', 'only in the WAL', 1, 0, 0, 0, 0)\")\n"
    "c.execute(\"INSERT INTO rckeys VALUES (55, 1, 'k', 'x', 1)\")\n"
    "os._exit(0)\n");

// A WAL that changes every model, left by a program that did not close its connection.
const QString staleWal = QStringLiteral("import os, sqlite3, sys\n"
                                        "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                                        "c.execute('PRAGMA journal_mode=WAL')\n"
                                        "c.execute(\"UPDATE rcmodels SET Brand='stale'\")\n"
                                        "os._exit(0)\n");

} // namespace

void TestDatabaseUpdate::userFileStates_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("succeeds");

    QTest::newRow("WAL holding an own model not yet checkpointed") << "wal" << true;
    QTest::newRow("linked file with a hot journal beside its target") << "linked torn" << true;
    QTest::newRow("stale WAL in the release's package") << "release wal" << true;
    // A read error is no end of the rows, and a model only the count sees is not left behind.
    QTest::newRow("damaged page among the own models") << "damaged" << false;
    QTest::newRow("Own as text in a column without a type") << "untyped Own" << false;
}

void TestDatabaseUpdate::userFileStates()
{
    QFETCH(QString, setup);
    QFETCH(bool, succeeds);
    Installation installation;
    install(installation, true);
    offerRelease(installation);
    const QString db = installation.path(QStringLiteral("rc.db"));
    QString file = db;

    if (setup == QLatin1String("wal")) {
        QVERIFY(python(walOnlyModel, {db}));
        QVERIFY(QFile::exists(db + QStringLiteral("-wal")));
    } else if (setup == QLatin1String("linked torn")) {
        file = installation.path(QStringLiteral("data/rc.db"));
        QVERIFY(QDir().mkpath(installation.path(QStringLiteral("data"))));
        QVERIFY(QFile::rename(db, file));
        QVERIFY(QFile::link(QStringLiteral("data/rc.db"), db));
        QVERIFY(tearTransaction(db));
        QVERIFY(QFile::exists(file + QStringLiteral("-journal")));
    } else if (setup == QLatin1String("release wal")) {
        const QString release = installation.path(QStringLiteral("pkg-db/rc.db"));
        const QString other = installation.path(QStringLiteral("other/rc.db"));
        QVERIFY(installation.writeDatabase(QStringLiteral("pkg-db/rc.db"), releaseShape()));
        QVERIFY(installation.writeDatabase(QStringLiteral("other/rc.db"), releaseShape()));
        QVERIFY(python(staleWal, {other}));
        QVERIFY(QFile::rename(other + QStringLiteral("-wal"), release + QStringLiteral("-wal")));
        QVERIFY(installation.zipFolder(QStringLiteral("rcdb.zip"), QStringLiteral("pkg-db")));
    } else if (setup == QLatin1String("damaged")) {
        // Found through an index, so that counting them reads no page of the table itself.
        SampleData::DatabaseShape shape = installedShape(true);
        shape.ownModels = 400;
        QVERIFY(installation.writeDatabase(QStringLiteral("rc.db"), shape));
        QCOMPARE(sqliteText(db, QStringLiteral("CREATE INDEX own ON rcmodels(Own, Rcid)")),
                 QString());
        QVERIFY(damagePageHolding(db, "Own model 202"));
    } else if (setup == QLatin1String("untyped Own")) {
        QVERIFY(installation.createDatabase(
            {TableLayout::createModels(Generation::Second).replace("Own INTEGER", "Own"),
             TableLayout::createKeys(Generation::Second),
             "INSERT INTO rcmodels VALUES (1, 'A', 'TV', 'a', '', 1, '', '', '1', 0, 0, 0, 0)",
             "INSERT INTO rcmodels VALUES (2, 'B', 'TV', 'b', '', 2, '', '', '1', 0, 0, 0, 0)",
             "INSERT INTO rckeys VALUES (1, 1, 'k', 'x', 1)"}));
    }
    const QString committed = committedOwnModels(db);
    const QByteArray before = readFile(file);

    DatabaseUpdate update;
    StepReports reports(&update);
    QCOMPARE(reports.record(runStep(update)), succeeds);
    QVERIFY(!connectionsRemain());
    QCOMPARE(workFolders(installation), QStringList());
    if (!succeeds) {
        QCOMPARE(reports.events.mid(reports.events.size() - 2),
                 (QStringList{"status -2", "text Can not edit database."}));
        QCOMPARE(readFile(file), before);
        QCOMPARE(installation.installed(QStringLiteral("UpdateInfo/database")),
                 QStringLiteral("2020-01-01"));
        return;
    }
    // Every own model of the committed state, in the new file and in the backup; no journal or
    // WAL of the old file beside the new one; a link stays a link.
    QCOMPARE(ownModelsWithKeys(db), committed);
    QVERIFY(committed.contains(setup == QLatin1String("wal") ? "55|1" : "1|2"));
    for (const char *suffix : {"-journal", "-wal", "-shm"})
        QVERIFY2(!QFile::exists(file + QLatin1String(suffix)), suffix);
    QCOMPARE(QFileInfo(db).isSymLink(), setup == QLatin1String("linked torn"));
    QCOMPARE(sqliteText(db, QStringLiteral("PRAGMA integrity_check")), QStringLiteral("ok"));
    QCOMPARE(sqliteText(db, QStringLiteral("SELECT count(*) FROM rcmodels WHERE Brand IN "
                                           "('stale', 'torn')")),
             QStringLiteral("0"));
    const QString backup = installation.unpackedBackup();
    QCOMPARE(ownModelsWithKeys(backup), committed);
    QCOMPARE(sqliteText(backup, QStringLiteral("SELECT count(*) FROM rcmodels WHERE Brand = "
                                               "'torn'")),
             QStringLiteral("0"));
}
