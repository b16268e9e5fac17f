#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTest>

#include "tests/support/databaseshapes.h"
#include "tests/support/files.h"
#include "tests/support/installation.h"
#include "tests/support/sqliteoracle.h"

namespace {

const QString newVersion = QStringLiteral("2025-05-05");
const QString oldVersion = QStringLiteral("2024-04-04");

QByteArray digest(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex().left(16);
}

// What a user would care about in an installation, as text that two states can be compared by.
struct State
{
    int supplied = -1;
    QString ownModels;
    QString ownKeys;
    QString visibility;
    QString versions;
    QByteArray executable;
    QByteArray otherFile;
    QStringList litter;
};

QString ownModelsOf(const QString &db)
{
    return sqliteText(db, "SELECT Rcid, Brand, Model, Documentation, Author, Correction FROM "
                          "rcmodels WHERE Own = 1 ORDER BY Rcid");
}

State readState(const QString &root)
{
    State state;
    const QString db = root + "/rc.db";
    state.supplied = sqliteText(db, "SELECT count(*) FROM rcmodels WHERE Own = 0").toInt();
    state.ownModels = ownModelsOf(db);
    state.ownKeys = sqliteText(db, "SELECT k.Rcid, k.Name, k.ID FROM rckeys k JOIN rcmodels m ON "
                                   "k.Rcid = m.Rcid WHERE m.Own = 1 ORDER BY 1, 2, 3");
    state.visibility = sqliteText(db, "SELECT Own, Hidden, count(*) FROM rcmodels GROUP BY 1, 2");
    const QSettings config(root + "/config.ini", QSettings::IniFormat);
    for (const char *key : {"UpdateInfo/main", "UpdateInfo/database", "UpdateInfo/other"})
        state.versions += config.value(key).toString() + ' ';
    QFile exe(root + "/kestrelix.exe");
    state.executable = exe.open(QIODevice::ReadOnly) ? digest(exe.readAll()) : "missing";
    QFile other(root + "/help/index.html");
    state.otherFile = other.open(QIODevice::ReadOnly) ? digest(other.readAll()) : "missing";
    const auto entries = QDir(root).entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : entries)
        if (name.endsWith(".part") || name == "software.exe" || name.startsWith("config.ini."))
            state.litter << name;
    for (const QString &name : QDir(root + "/backup").entryList({"*.part*"}, QDir::Files))
        state.litter << "backup/" + name;
    for (const QString &folder : {root, root + "/update-tmp"})
        if (QFileInfo::exists(folder + "/.update-scratch"))
            state.litter << folder + "/.update-scratch";
    state.litter << QDir(root).entryList({".update-work-*"}, QDir::AllEntries | QDir::Hidden);
    for (const char *unpacked : {"/update-tmp/rc.db", "/update-tmp/rc.db-journal"})
        if (QFileInfo::exists(root + unpacked))
            state.litter << root + unpacked;
    return state;
}

bool copyTree(const QString &from, const QString &to)
{
    QDir(to).removeRecursively();
    return runProgram("cp", {"-a", from, to}, QDir::tempPath()) == 0;
}

// The state of an installation whose rc.db may have a WAL beside it: read from a copy, since
// reading applies the WAL and the original must stay as it is.
State readStateOfCopy(const QString &root, const QString &scratch)
{
    if (!copyTree(root, scratch))
        return State();
    const State state = readState(scratch);
    QDir(scratch).removeRecursively();
    return state;
}

// A program that ended without closing its connection: the own models it added last are only in
// the WAL beside rc.db.
bool addOwnModelsToTheWal(const QString &database)
{
    const QString script =
        "import os, sqlite3, sys\n"
        "c = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
        "c.execute('PRAGMA journal_mode=WAL')\n"
        "for i in range(50):\n"
        "    r = 90000000 + i\n"
        "    c.execute(\"INSERT INTO rcmodels(Rcid, Brand, Type, Model, Link, Own, Flag, Hidden, "
        "RCTypeId) VALUES (?, 'WAL', 'TV', 'not checkpointed', ?, 1, 0, 0, 2)\", (r, r))\n"
        "    c.execute(\"INSERT INTO rckeys VALUES (?, '1.05', 'k', 'x')\", (r,))\n"
        "os._exit(0)\n";
    return runProgram("python3", {"-c", script, database}) == 0 && QFile::exists(database + "-wal");
}

// Every archive in backup/ is whole and holds the user's own models as they were committed
// before the update; a partial archive counts as litter only once a run has finished.
bool backupsAreWhole(const QString &root, const State &before, QString *why)
{
    const QStringList archives = QDir(root + "/backup").entryList({"rcdb-*.zip"}, QDir::Files);
    for (const QString &archive : archives) {
        QByteArray data;
        const QString restored = root + "/restored.db";
        if (runProgram("unzip", {"-p", root + "/backup/" + archive, "rc.db"}, root, &data) != 0 ||
            !writeFile(restored, data)) {
            *why = archive + " can not be read whole";
            return false;
        }
        const QString own = ownModelsOf(restored);
        QFile::remove(restored);
        if (own != before.ownModels) {
            *why = archive + " lacks own models";
            return false;
        }
    }
    return true;
}

} // namespace

// An installation to update, what it holds before, and what an uninterrupted update makes of it.
struct Template
{
    QString root;
    State before;
    State after;
    qint64 runMs = 0;
};

class TestInterrupted : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killedAnywhere();

private:
    void measure(Template &shape, const QString &name);

    QTemporaryDir m_dir;
    Template m_plain;
    // The same, with rc.db in WAL mode and own models that only the WAL holds.
    Template m_wal;
};

void TestInterrupted::measure(Template &shape, const QString &name)
{
    shape.before = readStateOfCopy(shape.root, m_dir.filePath("scratch"));
    const QString reference = m_dir.filePath("reference-" + name);
    QVERIFY(copyTree(shape.root, reference));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(runUpdater(reference + "/update"), 0);
    shape.runMs = timer.elapsed();
    shape.after = readState(reference);
    QCOMPARE(shape.after.versions, newVersion + ' ' + newVersion + ' ' + newVersion + ' ');
    QVERIFY(shape.after.supplied != shape.before.supplied);
    QVERIFY(shape.after.executable != shape.before.executable);
    QCOMPARE(shape.after.ownModels.count('\n'), shape.before.ownModels.count('\n'));
    qInfo("an uninterrupted run (%s) takes %lld ms", qPrintable(name), shape.runMs);
}

// One installation with everything newer, and the result of updating it without interruption.
void TestInterrupted::initTestCase()
{
    m_plain.root = m_dir.filePath("template");
    {
        Installation inst;
        inst.setInstalled("UpdateInfo/serverdb", "");
        inst.setInstalled("Settings/rcTypes", "2,4");
        for (const char *key : {"UpdateInfo/main", "UpdateInfo/database", "UpdateInfo/other"}) {
            inst.setInstalled(key, oldVersion);
            inst.setOffered(key, newVersion);
        }
        QVERIFY(inst.writeRecorderExecutable("kestrelix.exe", "old build"));
        QVERIFY(inst.offerPackage("main.zip", {{"Languages/big.bin", QByteArray(8 << 20, 'x')}},
                                  "new build"));
        QVERIFY(inst.offerPackage("other.zip", {{"help/index.html", "new help"}}));

        SampleData::DatabaseShape current = Shapes::firstGenerationUser(1500);
        current.suppliedModels = 60000;
        current.keySets = 25000;
        current.keysPerSet = 12;
        current.keysPerOwnModel = 10;
        QVERIFY(inst.writeDatabase("rc.db", current));
        SampleData::DatabaseShape release = Shapes::release(66000, 25000, 12);
        release.withNulls = true; // every 97th supplied model without a Link
        QVERIFY(inst.offerDatabase(release));
        for (const char *folder : {"pkg-main", "pkg-other"})
            QVERIFY(QDir(inst.path(folder)).removeRecursively());
        QVERIFY(copyTree(inst.root(), m_plain.root));
    }
    m_wal.root = m_dir.filePath("template-wal");
    QVERIFY(copyTree(m_plain.root, m_wal.root));
    QVERIFY(addOwnModelsToTheWal(m_wal.root + "/rc.db"));
    measure(m_plain, "plain");
    measure(m_wal, "WAL");
    QVERIFY(m_wal.before.ownModels.contains("not checkpointed"));
}

void TestInterrupted::killedAnywhere()
{
    const int points = qEnvironmentVariableIntValue("KILL_POINTS") > 0
                           ? qEnvironmentVariableIntValue("KILL_POINTS")
                           : 20;
    const quint32 seed = qEnvironmentVariableIsSet("KILL_SEED")
                             ? quint32(qEnvironmentVariableIntValue("KILL_SEED"))
                             : QRandomGenerator::global()->generate();
    qInfo("%d kill points, KILL_SEED=%u", points, seed);
    QRandomGenerator random(seed);
    const QString work = m_dir.filePath("work");
    QMap<QString, int> outcomes;

    for (int i = 0; i < points; ++i) {
        // Every third run starts from the WAL that the application left behind.
        const Template &shape = i % 3 == 2 ? m_wal : m_plain;
        const State &before = shape.before;
        const State &after = shape.after;
        QVERIFY(copyTree(shape.root, work));
        // Spread over the whole run; the second that automatic mode waits gets few of them.
        const int delay = i % 10 == 0 ? int(random.bounded(1000u))
                                      : 900 + int(random.bounded(quint32(shape.runMs - 800)));
        QProcess updater;
        updater.setWorkingDirectory(work + "/update");
        updater.start(binaryPath("updater"), updaterArguments());
        QVERIFY(updater.waitForStarted());
        updater.waitForFinished(delay);
        updater.kill();
        updater.waitForFinished();
        const QString at = QStringLiteral("kill point %1 at %2 ms%3")
                               .arg(i)
                               .arg(delay)
                               .arg(&shape == &m_wal ? " (WAL)" : "");

        // Whatever the moment, the installation holds one whole state of each component, and
        // every backup made is whole. Read from a copy: the second run meets the file as the
        // killed one left it, WAL and journal included.
        const State killed = readStateOfCopy(work, m_dir.filePath("scratch"));
        const bool newDatabase = killed.supplied == after.supplied;
        QVERIFY2(newDatabase || killed.supplied == before.supplied, qPrintable(at));
        const State &database = newDatabase ? after : before;
        QVERIFY2(killed.ownModels == database.ownModels, qPrintable(at));
        QVERIFY2(killed.ownKeys == database.ownKeys, qPrintable(at));
        QVERIFY2(killed.executable == before.executable || killed.executable == after.executable,
                 qPrintable(at));
        QString why;
        QVERIFY2(backupsAreWhole(work, before, &why), qPrintable(at + ": " + why));
        if (newDatabase)
            QVERIFY2(!QDir(work + "/backup").entryList({"rcdb-*.zip"}, QDir::Files).isEmpty(),
                     qPrintable(at + ": the catalogue changed without a backup"));

        const QSettings config(work + "/config.ini", QSettings::IniFormat);
        QVERIFY2(config.status() == QSettings::NoError, qPrintable(at));
        ++outcomes[QStringLiteral("database %1, executable %2, other files %3, versions %4")
                       .arg(newDatabase ? "new" : "old",
                            killed.executable == after.executable ? "new" : "old",
                            killed.otherFile == after.otherFile ? "new" : "old",
                            killed.versions.simplified())];
        // A version is recorded only once its component is in place.
        if (config.value("UpdateInfo/database").toString() == newVersion)
            QVERIFY2(newDatabase, qPrintable(at));
        if (config.value("UpdateInfo/main").toString() == newVersion)
            QVERIFY2(killed.executable == after.executable, qPrintable(at));
        if (config.value("UpdateInfo/other").toString() == newVersion)
            QVERIFY2(killed.otherFile == after.otherFile, qPrintable(at));

        // A second run finishes the work, with the result of a run never interrupted.
        QCOMPARE(runUpdater(work + "/update"), 0);
        const State finished = readState(work);
        QCOMPARE(sqliteText(work + "/rc.db", "PRAGMA integrity_check"), QStringLiteral("ok"));
        QVERIFY2(finished.ownModels == after.ownModels, qPrintable(at));
        QVERIFY2(finished.ownKeys == after.ownKeys, qPrintable(at));
        QVERIFY2(finished.visibility == after.visibility, qPrintable(at));
        QCOMPARE(finished.supplied, after.supplied);
        QCOMPARE(finished.versions, after.versions);
        QCOMPARE(finished.executable, after.executable);
        QCOMPARE(finished.otherFile, after.otherFile);
        QCOMPARE(finished.litter, QStringList());
    }
    for (auto it = outcomes.cbegin(); it != outcomes.cend(); ++it)
        qInfo("%3d killed runs left %s", it.value(), qPrintable(it.key()));
}

// Hundreds of kill points take longer than the five minutes QtTest allows a test function.
int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", "14400000");
    QCoreApplication application(argc, argv);
    TestInterrupted test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_interrupted.moc"
