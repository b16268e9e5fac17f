#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include "tests/support/databaseshapes.h"
#include "tests/support/installation.h"
#include "tests/support/sqliteoracle.h"

namespace {

class UploadServer
{
public:
    explicit UploadServer(const QString &store)
    {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(binaryPath("upload-server"),
                        {"--address", "127.0.0.1", "--port", "5678", "--store", store});
        QElapsedTimer timer;
        timer.start();
        while (!m_output.contains("listening") && timer.elapsed() < 10000 &&
               m_process.state() != QProcess::NotRunning) {
            m_process.waitForReadyRead(100);
            m_output += m_process.readAllStandardOutput();
        }
    }
    ~UploadServer()
    {
        m_process.kill();
        m_process.waitForFinished();
    }
    bool isListening() const { return m_output.contains("listening"); }

private:
    QProcess m_process;
    QByteArray m_output;
};

// The updater run under strace, which logs every rename and sync with the paths of their file
// descriptors. Empty when strace can not trace here.
QStringList tracedUpdate(const Installation &inst)
{
    const QString log = inst.path("trace.log");
    const int code = runProgram("strace",
                                QStringList{"-f", "-y", "-o", log, "-e",
                                            "trace=fsync,fdatasync,rename,renameat,renameat2",
                                            binaryPath("updater")} +
                                    updaterArguments(),
                                inst.updateDir());
    if (code != 0)
        return {};
    return QString::fromUtf8(inst.readFile("trace.log")).split('\n');
}

// Whether the thread that renamed a file onto name in folder synced the folder before its next
// rename onto config.ini, which records the version.
bool folderSyncedAfterRename(const QStringList &trace, const QString &folder, const QString &name)
{
    static const QRegularExpression renameCall(QStringLiteral("^(\\d+) +rename"));
    static const QRegularExpression configRename(QStringLiteral("config\\.ini\"(\\)| <unf)"));
    const QRegularExpression folderSync("^\\d+ +fsync\\(\\d+<" +
                                        QRegularExpression::escape(folder) + ">\\)");
    const QString onto = QStringLiteral("<%1>, \"%2\"").arg(folder, name);
    for (int i = 0; i < trace.size(); ++i) {
        const QRegularExpressionMatch renamed = renameCall.match(trace.at(i));
        if (!renamed.hasMatch() || !trace.at(i).contains(onto))
            continue;
        const QString thread = renamed.captured(1) + ' ';
        for (int j = i + 1; j < trace.size(); ++j) {
            const QString &line = trace.at(j);
            if (!line.startsWith(thread))
                continue;
            if (folderSync.match(line).hasMatch())
                return true;
            if (line.contains(renameCall) && line.contains(configRename))
                return false;
        }
        return false;
    }
    qWarning() << "no rename onto" << name;
    return false;
}

int storedUploads(const QString &store)
{
    return QDir(store).entryList({"upload-*.db"}, QDir::Files).size();
}

// A user's installation with a first-layout catalogue and own models, and an update offering a
// newer executable, other files and, when asked, a second-layout release of the catalogue.
void prepare(Installation &inst, bool offerDatabase)
{
    inst.setInstalled("UpdateInfo/serverdb", "127.0.0.1");
    inst.setInstalled("Settings/rcTypes", "1;3");
    for (const char *key : {"UpdateInfo/main", "UpdateInfo/database", "UpdateInfo/other"})
        inst.setInstalled(key, "2024-01-01");
    inst.setOffered("UpdateInfo/main", "2025-01-01");
    inst.setOffered("UpdateInfo/other", "2025-01-01");
    inst.setOffered("UpdateInfo/updateMode", "2");
    if (offerDatabase)
        inst.setOffered("UpdateInfo/database", "2025-01-01");

    QVERIFY(inst.writeRecorderExecutable("kestrelix.exe", "old build"));
    QVERIFY(inst.offerPackage("main.zip", {}, "new build"));
    QVERIFY(inst.offerPackage("other.zip", {{"help.txt", "help"}}));

    SampleData::DatabaseShape current = Shapes::firstGenerationUser(12);
    current.suppliedModels = 300;
    current.keySets = 120;
    current.keysPerSet = 6;
    QVERIFY(inst.writeDatabase("rc.db", current));
    QVERIFY(inst.offerDatabase(Shapes::release(350, 140, 7)));
}

} // namespace

class TestWholeUpdate : public QObject
{
    Q_OBJECT

private slots:
    void firstGenerationMigratedEndToEnd();
    void failedDatabaseUpdateKeepsEverythingElse();
    void unreachableServerDoesNotStopTheUpdate();
    void nothingNewerStillUploads();
    void filesKeepTheirOwners();
};

void TestWholeUpdate::firstGenerationMigratedEndToEnd()
{
    Installation inst;
    prepare(inst, true);
    const QString db = inst.path("rc.db");
    const QString store = inst.path("store");
    const QStringList modelsBefore = sqliteRows(
        db, "SELECT Rcid, Brand, Type, Model, Documentation, Link, Author, Correction, Own, "
            "Hidden, RCTypeId FROM rcmodels ORDER BY Rcid");
    const QStringList keysBefore =
        sqliteRows(db, "SELECT * FROM rckeys ORDER BY Rcid, Name, ID, PCB");
    // What the user made, as the new layout must hold it: quotes gone from the filtered texts,
    // the key type taken from the model, key numbers from the position codes.
    const QStringList ownModelsBefore = sqliteRows(
        db, "SELECT Rcid, replace(Brand, '''', ''), replace(Model, '''', ''), "
            "ifnull(Author, ''), ifnull(Correction, '') FROM rcmodels WHERE Own = 1 ORDER BY Rcid");
    const QStringList ownKeysBefore = sqliteRows(
        db,
        "SELECT k.Rcid, ifnull(m.RCTypeId, ''), replace(k.Name, '''', ''), ifnull(k.ID, ''), "
        "CASE WHEN ifnull(m.RCTypeId, 0) <= 4 THEN substr(k.PCB, 1, 1) * 56 + substr(k.PCB, 3, 2) "
        "WHEN m.RCTypeId >= 6 THEN '' ELSE 'table' END "
        "FROM rckeys k JOIN rcmodels m ON k.Rcid = m.Rcid WHERE m.Own = 1 "
        "ORDER BY k.Rcid, k.Name, k.ID");
    const int unsent =
        sqliteText(db, "SELECT count(*) FROM rcmodels WHERE Own = 1 AND Flag = 0").toInt();
    QVERIFY(unsent > 0);

    {
        UploadServer server(store);
        QVERIFY(server.isListening());
        QCOMPARE(runUpdater(inst), 0);
        QVERIFY(inst.waitForStarts(1));
        QTRY_COMPARE(storedUploads(store), 1);

        const QString upload =
            QDir(store).absoluteFilePath(QDir(store).entryList({"upload-*.db"}).first());
        QCOMPARE(sqliteText(upload, "SELECT count(*) FROM rcmodels").toInt(), unsent);

        QCOMPARE(inst.installed("UpdateInfo/database"), "2025-01-01");
        QCOMPARE(inst.installed("UpdateInfo/main"), "2025-01-01");
        QVERIFY(inst.readFile("kestrelix.exe").contains("new build"));
        QCOMPARE(inst.readFile("help.txt"), QByteArray("help"));

        // The catalogue is the new release with the user's models carried over.
        QCOMPARE(sqliteText(db, "SELECT count(*) FROM rcmodels WHERE Own = 0"), "350");
        QCOMPARE(sqliteRows(db, "SELECT Rcid, Brand, Model, Author, Correction FROM rcmodels "
                                "WHERE Own = 1 ORDER BY Rcid"),
                 ownModelsBefore);
        QCOMPARE(sqliteRows(
                     db, "SELECT k.Rcid, k.RCTypeId, k.Name, k.ID, CASE WHEN k.RCTypeId = 5 THEN "
                         "'table' ELSE k.Nkey END FROM rckeys k JOIN rcmodels m ON k.Rcid = m.Rcid "
                         "WHERE m.Own = 1 ORDER BY k.Rcid, k.Name, k.ID"),
                 ownKeysBefore);
        QCOMPARE(sqliteText(db, "SELECT count(*) FROM rcmodels WHERE Own = 1 AND Flag = 0"), "0");

        // Visibility by the chosen types 1 and 3, judged by a query of our own.
        QCOMPARE(sqliteText(db, "SELECT count(*) FROM rcmodels WHERE Own = 1 AND Hidden <> 0"),
                 "0");
        QCOMPARE(sqliteText(db,
                            "SELECT count(*) FROM rcmodels m WHERE Own = 0 AND Link IS NOT NULL "
                            "AND Hidden <> CASE WHEN EXISTS (SELECT 1 FROM rckeys k WHERE k.Rcid "
                            "= m.Link AND k.RCTypeId IN (1, 3)) THEN 0 ELSE 1 END"),
                 "0");
        QVERIFY(
            sqliteText(db, "SELECT count(*) FROM rcmodels WHERE Own = 0 AND Hidden = 1").toInt() >
            0);
        QCOMPARE(sqliteText(db, "PRAGMA integrity_check"), "ok");

        // The backup holds the catalogue as the database update found it: after the upload had
        // marked the sent models, before the Prot column was added.
        const QString copy = inst.unpackedBackup();
        QVERIFY(!copy.isEmpty());
        const QString everythingButFlag =
            "SELECT Rcid, Brand, Type, Model, Documentation, Link, Author, Correction, Own, "
            "Hidden, RCTypeId FROM rcmodels ORDER BY Rcid";
        QCOMPARE(sqliteRows(copy, everythingButFlag), modelsBefore);
        QCOMPARE(sqliteRows(copy, "SELECT * FROM rckeys ORDER BY Rcid, Name, ID, PCB"), keysBefore);
        QCOMPARE(sqliteText(copy, "SELECT count(*) FROM rcmodels WHERE Own = 1 AND Flag = 0"), "0");
        QCOMPARE(sqliteText(copy, "SELECT count(*) FROM pragma_table_info('rcmodels') "
                                  "WHERE name = 'Prot'"),
                 "0");

        // What support reads first: the version, the components' dates, the mode, the upload
        // and the backup.
        const QString log = QString::fromUtf8(inst.readFile("update/update.log"));
        const QString backup = inst.files("backup").value(0);
        for (const QString &line :
             {QStringLiteral("updater 2.4.5 started: "),
              QStringLiteral("Installed: main 2024-01-01 database 2024-01-01 other 2024-01-01"),
              QStringLiteral("Offered: main 2025-01-01 database 2025-01-01 other "),
              QStringLiteral("upload mode 2 (no package key: nothing is checked)"),
              QStringLiteral("Upload to 127.0.0.1 accepted"),
              QStringLiteral("Backup: ../backup/") + backup})
            QVERIFY2(log.contains(line), qPrintable(line));
    }

    // The next run finds nothing newer, and every own model is marked as sent: nothing is sent.
    {
        UploadServer server(store);
        QVERIFY(server.isListening());
        QCOMPARE(runUpdater(inst), 0);
        QVERIFY(inst.waitForStarts(2));
        QTest::qWait(300);
        QCOMPARE(storedUploads(store), 1);
    }
}

void TestWholeUpdate::failedDatabaseUpdateKeepsEverythingElse()
{
    Installation inst;
    prepare(inst, true);
    QVERIFY(QDir(inst.path("backup")).removeRecursively());
    const QByteArray before = inst.readFile("rc.db");

    // No server: the upload, which would mark the own models as sent, is refused.
    QCOMPARE(runUpdater(inst), 0);
    QVERIFY(inst.waitForStarts(1));
    QVERIFY(inst.readFile("kestrelix.exe").contains("old build"));
    QCOMPARE(inst.installed("UpdateInfo/main"), "2024-01-01");
    QCOMPARE(inst.installed("UpdateInfo/database"), "2024-01-01");
    QCOMPARE(inst.installed("UpdateInfo/other"), "2024-01-01");
    QVERIFY(!inst.exists("help.txt"));
    QVERIFY(inst.readFile("rc.db") == before);
}

void TestWholeUpdate::unreachableServerDoesNotStopTheUpdate()
{
    Installation inst;
    prepare(inst, true);
    // Nothing listens on port 5678 here: the connection is refused at once.
    const QStringList trace = tracedUpdate(inst);
    if (trace.isEmpty())
        QSKIP("strace can not trace the updater here");
    QVERIFY(inst.waitForStarts(1));
    // Each file that replaces one of the user's reaches the folder on disk before its version is
    // recorded: the catalogue, the executable, the other files.
    const QString folder = QFileInfo(inst.root()).canonicalFilePath();
    for (const char *name : {"rc.db", "kestrelix.exe", "help.txt"})
        QVERIFY2(folderSyncedAfterRename(trace, folder, QLatin1String(name)), name);
    QCOMPARE(inst.installed("UpdateInfo/database"), "2025-01-01");
    QVERIFY(inst.readFile("kestrelix.exe").contains("new build"));
    // Nothing was sent, so nothing is marked as sent.
    QVERIFY(
        sqliteText(inst.path("rc.db"), "SELECT count(*) FROM rcmodels WHERE Own = 1 AND Flag = 0")
            .toInt() > 0);
}

void TestWholeUpdate::nothingNewerStillUploads()
{
    Installation inst;
    prepare(inst, false);
    inst.setOffered("UpdateInfo/main", "2024-01-01");
    inst.setOffered("UpdateInfo/other", "2023-01-01");
    const QByteArray config = inst.readFile("config.ini");

    UploadServer server(inst.path("store"));
    QCOMPARE(runUpdater(inst), 0);
    QVERIFY(inst.waitForStarts(1));
    QTRY_COMPARE(storedUploads(inst.path("store")), 1);
    QCOMPARE(inst.readFile("config.ini"), config);
    QVERIFY(inst.readFile("kestrelix.exe").contains("old build"));
    QCOMPARE(
        sqliteText(inst.path("rc.db"), "SELECT count(*) FROM rcmodels WHERE Own = 1 AND Flag = 0"),
        "0");
}

// The updater often runs as root while the application runs as the user: whatever it replaces
// keeps its owner, group and mode, and what it adds belongs to whoever owns the folder.
void TestWholeUpdate::filesKeepTheirOwners()
{
    if (::geteuid() != 0)
        QSKIP("only root can give files to another user");
    Installation inst;
    prepare(inst, true);
    inst.setInstalled("UpdateInfo/serverdb", "");
    QVERIFY(inst.offerPackage("other.zip", {{"docs/manual.txt", "manual"}}));
    QVERIFY(QFile::setPermissions(inst.path("rc.db"),
                                  QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QVERIFY(QFile::setPermissions(inst.path("config.ini"), QFileDevice::ReadOwner |
                                                               QFileDevice::WriteOwner |
                                                               QFileDevice::ReadGroup));
    const uid_t user = 4321;
    const gid_t group = 4322;
    QCOMPARE(runProgram("chown", {"-R", QStringLiteral("%1:%2").arg(user).arg(group), inst.root()}),
             0);
    auto stated = [&](const char *relative) {
        struct stat st = {};
        ::lstat(QFile::encodeName(inst.path(relative)).constData(), &st);
        return st;
    };
    const mode_t executableMode = stated("kestrelix.exe").st_mode & 07777;

    QCOMPARE(runUpdater(inst), 0);
    QVERIFY(inst.waitForStarts(1));
    QCOMPARE(inst.installed("UpdateInfo/database"), "2025-01-01");
    QVERIFY(inst.readFile("kestrelix.exe").contains("new build"));
    struct Expected
    {
        const char *path;
        mode_t mode; // 0: as the package says
    };
    for (const Expected &file : {Expected{"rc.db", 0600}, Expected{"config.ini", 0640},
                                 Expected{"kestrelix.exe", executableMode}, Expected{"help.txt", 0},
                                 Expected{"docs", 0}, Expected{"docs/manual.txt", 0}}) {
        const struct stat st = stated(file.path);
        QVERIFY2(st.st_uid == user && st.st_gid == group, file.path);
        if (file.mode)
            QCOMPARE(st.st_mode & 07777, file.mode);
    }
}

QTEST_GUILESS_MAIN(TestWholeUpdate)
#include "tst_wholeupdate.moc"
