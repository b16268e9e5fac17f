#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTest>

#include "tests/support/databaseshapes.h"
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

State readState(const QString &root)
{
    State state;
    const QString db = root + "/rc.db";
    state.supplied = sqliteText(db, "SELECT count(*) FROM rcmodels WHERE Own = 0").toInt();
    state.ownModels = sqliteText(db, "SELECT Rcid, Brand, Model, Documentation, Author, Correction "
                                     "FROM rcmodels WHERE Own = 1 ORDER BY Rcid");
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

} // namespace

class TestInterrupted : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void killedAnywhere();

private:
    QTemporaryDir m_dir;
    QString m_template;
    State m_before;
    State m_after;
    qint64 m_runMs = 0;
};

// One installation with everything newer, and the result of updating it without interruption.
void TestInterrupted::initTestCase()
{
    m_template = m_dir.filePath("template");
    {
        Installation inst;
        inst.setInstalled("UpdateInfo/serverdb", "");
        inst.setInstalled("Settings/rcTypes", "2,4");
        for (const char *key : {"UpdateInfo/main", "UpdateInfo/database", "UpdateInfo/other"}) {
            inst.setInstalled(key, oldVersion);
            inst.setOffered(key, newVersion);
        }
        QVERIFY(inst.writeRecorderExecutable("kestrelix.exe", "old build"));
        QVERIFY(inst.writeRecorderExecutable("pkg-main/software.exe", "new build"));
        QVERIFY(inst.writeFile("pkg-main/Languages/big.bin", QByteArray(8 << 20, 'x')));
        QVERIFY(inst.zipFolder("main.zip", "pkg-main"));
        QVERIFY(inst.writeFile("pkg-other/help/index.html", "new help"));
        QVERIFY(inst.zipFolder("other.zip", "pkg-other"));

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
        QVERIFY(copyTree(inst.root(), m_template));
    }
    m_before = readState(m_template);

    const QString reference = m_dir.filePath("reference");
    QVERIFY(copyTree(m_template, reference));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(runUpdater(reference + "/update"), 0);
    m_runMs = timer.elapsed();
    m_after = readState(reference);
    QCOMPARE(m_after.versions, newVersion + ' ' + newVersion + ' ' + newVersion + ' ');
    QVERIFY(m_after.supplied != m_before.supplied);
    QVERIFY(m_after.executable != m_before.executable);
    qInfo("an uninterrupted run takes %lld ms", m_runMs);
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
        QVERIFY(copyTree(m_template, work));
        // Spread over the whole run; the second that automatic mode waits gets few of them.
        const int delay = i % 10 == 0 ? int(random.bounded(1000u))
                                      : 900 + int(random.bounded(quint32(m_runMs - 800)));
        QProcess updater;
        updater.setWorkingDirectory(work + "/update");
        updater.start(binaryPath("updater"), updaterArguments());
        QVERIFY(updater.waitForStarted());
        updater.waitForFinished(delay);
        updater.kill();
        updater.waitForFinished();
        const QString at = QStringLiteral("kill point %1 at %2 ms").arg(i).arg(delay);

        // Whatever the moment, the installation holds one whole state of each component.
        const State killed = readState(work);
        QCOMPARE(sqliteText(work + "/rc.db", "PRAGMA integrity_check"), QStringLiteral("ok"));
        const bool newDatabase = killed.supplied == m_after.supplied;
        QVERIFY2(newDatabase || killed.supplied == m_before.supplied, qPrintable(at));
        const State &database = newDatabase ? m_after : m_before;
        QVERIFY2(killed.ownModels == database.ownModels, qPrintable(at));
        QVERIFY2(killed.ownKeys == database.ownKeys, qPrintable(at));
        QVERIFY2(killed.executable == m_before.executable ||
                     killed.executable == m_after.executable,
                 qPrintable(at));

        const QSettings config(work + "/config.ini", QSettings::IniFormat);
        QVERIFY2(config.status() == QSettings::NoError, qPrintable(at));
        ++outcomes[QStringLiteral("database %1, executable %2, other files %3, versions %4")
                       .arg(newDatabase ? "new" : "old",
                            killed.executable == m_after.executable ? "new" : "old",
                            killed.otherFile == m_after.otherFile ? "new" : "old",
                            killed.versions.simplified())];
        // A version is recorded only once its component is in place.
        if (config.value("UpdateInfo/database").toString() == newVersion)
            QVERIFY2(newDatabase, qPrintable(at));
        if (config.value("UpdateInfo/main").toString() == newVersion)
            QVERIFY2(killed.executable == m_after.executable, qPrintable(at));
        if (config.value("UpdateInfo/other").toString() == newVersion)
            QVERIFY2(killed.otherFile == m_after.otherFile, qPrintable(at));

        // A second run finishes the work, with the result of a run never interrupted.
        QCOMPARE(runUpdater(work + "/update"), 0);
        const State finished = readState(work);
        QVERIFY2(finished.ownModels == m_after.ownModels, qPrintable(at));
        QVERIFY2(finished.ownKeys == m_after.ownKeys, qPrintable(at));
        QVERIFY2(finished.visibility == m_after.visibility, qPrintable(at));
        QCOMPARE(finished.supplied, m_after.supplied);
        QCOMPARE(finished.versions, m_after.versions);
        QCOMPARE(finished.executable, m_after.executable);
        QCOMPARE(finished.otherFile, m_after.otherFile);
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
