// The corpus: each way of spoiling one input, with the outcome the user must see.

#include "tests/robustness/tst_hostile.h"
#include "tests/support/otherprocess.h"

namespace {

// Every central directory record claims the given uncompressed size.
QString claimSize(quint32 size)
{
    return QStringLiteral("c=d.find(b'PK\\x01\\x02')\n"
                          "while c>=0:\n"
                          "    d[c+24:c+28]=struct.pack('<I',%1)\n"
                          "    c=d.find(b'PK\\x01\\x02',c+4)")
        .arg(size);
}

// main.zip made again, with entries before and after the new executable.
SetUp mainPackage(const QString &before, const QString &after, const QString &patch = {})
{
    return [=](Installation &inst, const QString &exe) {
        QVERIFY(pythonZip(inst.path("update-tmp/main.zip"), "[" + before + exe + after + "]",
                          "ZIP_DEFLATED", patch));
    };
}

SetUp escapingEntry(const QString &name)
{
    return mainPackage("", ",('" + name + "',b'x',0o100644)");
}

SetUp installedFile(const QString &relative, const QByteArray &data)
{
    return [=](Installation &inst, const QString &) { QVERIFY(inst.writeFile(relative, data)); };
}

// The release in rcdb.zip changed by one statement of the sqlite3 command.
SetUp changedRelease(const QString &statement)
{
    return [=](Installation &inst, const QString &) {
        QVERIFY(inst.writeDatabase("pkg-db/rc.db", Shapes::release()));
        QCOMPARE(sqliteText(inst.path("pkg-db/rc.db"), statement), "");
        QVERIFY(inst.zipFolder("rcdb.zip", "pkg-db"));
        QVERIFY(QDir(inst.path("pkg-db")).removeRecursively());
    };
}

SetUp settings(const QString &key, const QString &value, bool offered = false)
{
    return [=](Installation &inst, const QString &) {
        QVERIFY(offered ? inst.setOffered(key, value) : inst.setInstalled(key, value));
    };
}

// A FIFO, which nobody ever writes, or a link to a device, in place of a file of the download
// folder; signed, the offer is signed first and the maker's key installed.
SetUp special(const QString &relative, const QString &kind, bool signedOffer = false)
{
    return [=](Installation &inst, const QString &) {
        if (signedOffer) {
            const QString key = signingKey("maker");
            QVERIFY(signOffer(inst, key));
            QVERIFY(installKey(inst, key));
        }
        const QString path = inst.path(relative);
        QFile::remove(path);
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0644), 0);
        else
            QVERIFY(QFile::link(kind, path));
    };
}

// A program that died inside a transaction: changed pages are in the file, the originals in the
// journal beside it.
void tornTransaction(Installation &inst, const QString &)
{
    QVERIFY(tearTransaction(inst.path("rc.db")));
    QVERIFY(inst.exists("rc.db-journal"));
}

QString rootOnlyFile(const QString &name, const QByteArray &data)
{
    static QTemporaryDir secrets;
    const QString path = secrets.filePath(name);
    if (!writeFile(path, data) || !QFile::setPermissions(path, QFileDevice::ReadOwner))
        return QString();
    rootOnlyFiles().insert(path, data);
    return path;
}

// A ZIP that only root may read, holding secret.txt, linked in the download folder as other.zip;
// the installation (or only the download folder, userOwns) belongs to another account.
SetUp rootOnlyPackage(const QString &userOwns)
{
    return [=](Installation &inst, const QString &) {
        QVERIFY(pythonZip(inst.path("secret.zip"), "[('secret.txt',b'secret',0o100600)]"));
        const QString secret = rootOnlyFile("secret.zip", inst.readFile("secret.zip"));
        QVERIFY(QFile::remove(inst.path("secret.zip")));
        QVERIFY(QFile::remove(inst.path("update-tmp/other.zip")));
        QVERIFY(QFile::link(secret, inst.path("update-tmp/other.zip")));
        QVERIFY(OtherAccount::give(inst.path(userOwns)));
    };
}

// The user's config.ini a link to one of root's files, in an installation the user owns.
void rootOnlyConfig(Installation &inst, const QString &)
{
    const QString config = rootOnlyFile("config.ini", inst.readFile("config.ini"));
    QVERIFY(QFile::remove(inst.path("config.ini")));
    QVERIFY(QFile::link(config, inst.path("config.ini")));
    QVERIFY(OtherAccount::give(inst.root()));
}

} // namespace

QHash<QString, QByteArray> &rootOnlyFiles()
{
    static QHash<QString, QByteArray> files;
    return files;
}

// Each case spoils one input; the outcome is the status the user sees (with its text for a
// failure) and whether the new executable arrived. In every case nothing outside the
// installation is touched and the user's catalogue keeps every own model with its keys.
void TestHostile::corpus_data()
{
    QTest::addColumn<SetUp>("spoil");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("executableReplaced");
    QTest::addColumn<QString>("logLine");
    QTest::addColumn<Catalogue>("catalogue");
    QTest::addColumn<bool>("restarted");

    const QString failed = QStringLiteral("Some updates could not be installed.");
    const QString offerRefused = QStringLiteral("The offered update was refused.");
    const Catalogue kept = Catalogue::Kept;
    const Catalogue spoilt = Catalogue::Spoilt;
    QTest::newRow("package: ../ entry") << escapingEntry("../escape.txt") << -4 << failed << false
                                        << "not installed:" << kept << true;
    QTest::newRow("package: ..\\ entry") << escapingEntry("..\\\\escape.txt") << -4 << failed
                                         << false << "not installed:" << kept << true;
    QTest::newRow("package: absolute entry") << escapingEntry("/tmp/kx-hostile-absolute.txt") << -4
                                             << failed << false << "not installed:" << kept << true;
    QTest::newRow("package: drive letter") << escapingEntry("C:/escape.txt") << -4 << failed
                                           << false << "not installed:" << kept << true;
    QTest::newRow("package: file through an outside link")
        << mainPackage("", ",('l',b'../..',0o120777),('l/escape.txt',b'x',0o100644)") << -4
        << failed << false << "not installed:" << kept << true;
    QTest::newRow("package: one name twice")
        << mainPackage("", ",('software.exe',b'other',0o100755)") << -4 << failed << false
        << "appears twice" << kept << true;
    QTest::newRow("package: truncated") << SetUp([](Installation &inst, const QString &) {
        QVERIFY(
            inst.writeFile("update-tmp/main.zip", inst.readFile("update-tmp/main.zip").left(60)));
    }) << -4 << failed << false << "not a ZIP archive"
                                        << kept << true;
    // Made by Info-ZIP with a password on the executable; the plain entry before it must not land.
    QTest::newRow("package: an encrypted entry") << SetUp([](Installation &inst,
                                                             const QString &exe) {
        QVERIFY(QDir().mkpath(inst.path("pkg-enc")));
        QVERIFY(pythonZip(inst.path("pkg-enc/plain.zip"),
                          "[('landed/first.txt',b'x',0o100644)," + exe + "]"));
        QCOMPARE(runProgram("unzip", {"-q", "plain.zip"}, inst.path("pkg-enc")), 0);
        const QString archive = inst.path("update-tmp/main.zip");
        QVERIFY(QFile::remove(archive));
        QCOMPARE(runProgram("zip", {"-q", "-r", archive, "landed"}, inst.path("pkg-enc")), 0);
        QCOMPARE(runProgram("zip", {"-q", "-P", "secret", archive, "software.exe"},
                            inst.path("pkg-enc")),
                 0);
        QVERIFY(QDir(inst.path("pkg-enc")).removeRecursively());
    }) << -4 << failed << false << "is encrypted" << kept
                                                 << true;
    QTest::newRow("package: zero bytes") << installedFile("update-tmp/main.zip", {}) << -4 << failed
                                         << false << "not a ZIP archive" << kept << true;
    QTest::newRow("package: text named .zip")
        << installedFile("update-tmp/main.zip", "PK? no, just text\n") << -4 << failed << false
        << "not a ZIP archive" << kept << true;
    // The data itself is whole and its checksum right: what it holds is what lands.
    QTest::newRow("package: size claimed beyond its data")
        << mainPackage("", "", claimSize(50 << 20)) << 0 << "" << true << "" << kept << true;
    QString many;
    for (int i = 0; i < 64; ++i)
        many += QStringLiteral("('part%1',b'x',0o100644),").arg(i);
    QTest::newRow("package: larger than the free space")
        << mainPackage(many, "", claimSize(0xFFFFFFF0u)) << -4 << failed << false << "bytes, "
        << kept << true;
    QTest::newRow("database: zero bytes")
        << installedFile("rc.db", {}) << -2 << "Can not edit database." << false << "" << spoilt
        << true;
    QTest::newRow("database: not a database")
        << installedFile("rc.db", QByteArray(4096, 'T')) << -2 << "Can not open current database."
        << false << "" << spoilt << true;
    QTest::newRow("database: hot journal beside it")
        << SetUp(tornTransaction) << 0 << "" << true << "Rolled back an interrupted transaction"
        << Catalogue::Torn << true;
    QTest::newRow("database: a folder") << SetUp([](Installation &inst, const QString &) {
        QVERIFY(QFile::remove(inst.path("rc.db")));
        QVERIFY(QDir().mkpath(inst.path("rc.db/inside")));
    }) << -1 << "Can't create backup." << false
                                        << "" << spoilt << true;
    QTest::newRow("release: no rckeys") << changedRelease("DROP TABLE rckeys") << -2
                                        << "Can not edit database." << false << "" << kept << true;
    QTest::newRow("release: no Hidden1")
        << changedRelease("ALTER TABLE rcmodels DROP COLUMN Correction") << -2
        << "Can not edit database." << false << "" << kept << true;
    // A special file is refused at once, never waited on: each run ends within seconds.
    QTest::newRow("package: other.zip a FIFO") << special("update-tmp/other.zip", "fifo") << -4
                                               << failed << true << "is a FIFO" << kept << true;
    QTest::newRow("package: other.zip a link to a device")
        << special("update-tmp/other.zip", "/dev/zero") << -4 << failed << true << "is a device"
        << kept << true;
    QTest::newRow("offer: a FIFO") << special("update-tmp/config.ini", "fifo") << -4 << offerRefused
                                   << false << "is a FIFO" << kept << true;
    QTest::newRow("offer: a link to a device")
        << special("update-tmp/config.ini", "/dev/zero") << -4 << offerRefused << false
        << "is a device" << kept << true;
    QTest::newRow("offer: signature a FIFO")
        << special("update-tmp/config.ini.minisig", "fifo", true) << -4 << offerRefused << false
        << "is a FIFO" << kept << true;
    QTest::newRow("offer: signature a link to a device")
        << special("update-tmp/config.ini.minisig", "/dev/zero", true) << -4 << offerRefused
        << false << "is a device" << kept << true;
    QTest::newRow("offer: larger than 1 MiB") << SetUp([](Installation &inst, const QString &) {
        QVERIFY(inst.writeFile("update-tmp/config.ini", inst.readFile("update-tmp/config.ini") +
                                                            "\n; " + QByteArray(1 << 20, 'x') +
                                                            "\n"));
    }) << -4 << offerRefused << false << "is larger than"
                                              << kept << true;
    QByteArray garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += char((i * 131 + 7) % 256);
    // Not text the updater could edit: the executable comes, and the file stays as it is.
    QTest::newRow("settings: binary garbage")
        << installedFile("config.ini", garbage) << -4 << failed << true << "could not be recorded"
        << kept << true;
    // The executable can not take a name that long: a failure, the rest installed, no restart.
    QTest::newRow("settings: very long name")
        << settings("Settings/softwareName", QString(300, 'k')) << -4 << failed << false << ""
        << kept << false;
    // The name becomes a path: the new executable would land beside the installation.
    QTest::newRow("settings: name leads out of the installation")
        << settings("Settings/softwareName", "../victim") << -4 << failed << false
        << "is not a plain file name" << kept << false;
    QTest::newRow("settings: dates in another form")
        << SetUp([](Installation &inst, const QString &) {
               QVERIFY(inst.setInstalled("UpdateInfo/main", "04.04.2030"));
               QVERIFY(inst.setInstalled("UpdateInfo/database", "2030/04/04"));
           })
        << 0 << "" << true << "" << kept << true;
    QTest::newRow("settings: mode not a number")
        << settings("UpdateInfo/updateMode", "two", true) << 0 << "" << true << "" << kept << true;
    // Split as a command line, the name would run /bin/sh as whoever runs the updater.
    QTest::newRow("settings: a command line as the name")
        << settings("Settings/softwareName", "/bin/sh -c id>OUT") << -4 << failed << false
        << "Not started" << kept << false;
    // Run as root over another account's installation, the updater has that account's rights.
    QTest::newRow("rights: root over a user's installation")
        << rootOnlyPackage(".") << -4 << failed << true << "Permission denied" << kept << true;
    QTest::newRow("rights: a user's config.ini linked to root's file")
        << SetUp(rootOnlyConfig) << -4 << failed << true << "could not be recorded" << kept << true;
    QTest::newRow("rights: root over a user's download folder")
        << rootOnlyPackage("update-tmp") << -4 << failed << true << "is a link" << kept << true;
    QTest::newRow("rights: a backup folder that others can write")
        << SetUp([](Installation &inst, const QString &) {
               QCOMPARE(::chmod(QFile::encodeName(inst.path("backup")).constData(), 0777), 0);
           })
        << -1 << "Can't create backup." << false << "can be written by other accounts" << kept
        << true;
}
