#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include "common/files/platform.h"
#include "database/databasebackup.h"
#include "tests/support/files.h"
#include "tests/support/installation.h"

namespace {

// The backup of database (a file beside it or elsewhere) as the database step makes it.
bool backUp(const QString &database, const QString &archive, QString *why = nullptr)
{
    Platform::Folder folder;
    Platform::Folder databaseFolder;
    QString reason;
    bool written = false;
    if (!folder.open(QFileInfo(archive).absolutePath()) ||
        !databaseFolder.open(QFileInfo(database).absolutePath())) {
        reason = folder.errorString() + databaseFolder.errorString();
    } else {
        Platform::File file = databaseFolder.openForReading(QFileInfo(database).fileName(), false);
        DatabaseBackup backup(folder, QFileInfo(archive).fileName());
        if (!file.isOpen())
            reason = databaseFolder.errorString();
        else if (!backup.begin(file.info()) || !backup.finish(file, file.info()))
            reason = backup.errorString();
        else
            written = true;
    }
    if (why)
        *why = reason;
    return written;
}

} // namespace

class TestDatabaseBackup : public QObject
{
    Q_OBJECT

private slots:
    void archiveName();
    void prune_data();
    void prune();
    void archiveHoldsTheFile_data();
    void archiveHoldsTheFile();
    void sameMinuteReplaces();
    void unreadableDatabase_data();
    void unreadableDatabase();
    void fullDiskLeavesNoArchive();
};

void TestDatabaseBackup::archiveName()
{
    const QDateTime time(QDate(2027, 3, 4), QTime(7, 5, 59));
    QCOMPARE(DatabaseBackup::archiveName(time), QStringLiteral("rcdb-270304-0705.zip"));
    QCOMPARE(DatabaseBackup::archiveName(QDateTime(QDate(2031, 12, 31), QTime(23, 0))),
             QStringLiteral("rcdb-311231-2300.zip"));
}

void TestDatabaseBackup::prune_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("daysAgo");
    QTest::addColumn<QTime>("at");
    QTest::addColumn<bool>("deleted");
    QTest::newRow("60 days, early in the day") << "rcdb-a.zip" << 60 << QTime(0, 0, 5) << false;
    QTest::newRow("61 days, late in the day") << "rcdb-b.zip" << 61 << QTime(23, 59) << true;
    QTest::newRow("any name") << "notes.txt" << 200 << QTime(12, 0) << true;
    QTest::newRow("hidden") << ".old" << 61 << QTime(12, 0) << true;
    QTest::newRow("today") << "rcdb-c.zip" << 0 << QTime(0, 0) << false;
}

void TestDatabaseBackup::prune()
{
    QFETCH(QString, name);
    QFETCH(int, daysAgo);
    QFETCH(QTime, at);
    QFETCH(bool, deleted);
    QTemporaryDir dir;
    const QDate today(2027, 6, 15);
    const QString file = dir.filePath(name);
    QVERIFY(writeFile(file, "x"));
    QFile handle(file);
    QVERIFY(handle.open(QIODevice::ReadWrite));
    QVERIFY(handle.setFileTime(QDateTime(today.addDays(-daysAgo), at),
                               QFileDevice::FileModificationTime));
    handle.close();
    // A folder and a link as old as anything stay.
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
    QVERIFY(QFile::link(file, dir.filePath(QStringLiteral("link"))));

    if (deleted)
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QFileInfo(file).absoluteFilePath()));
    Platform::Folder folder;
    QVERIFY(folder.open(dir.path()));
    const QStringList removed = DatabaseBackup::prune(folder, today);
    QCOMPARE(removed.size(), deleted ? 1 : 0);
    QCOMPARE(QFile::exists(file), !deleted);
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("folder"))).isDir());
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("link"))).isSymLink());
}

void TestDatabaseBackup::archiveHoldsTheFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("method");
    QTest::newRow("deflated") << QByteArray("SQLite format 3\0", 16).repeated(500) << "def";
    QTest::newRow("under 64 bytes, stored") << QByteArray("short") << "stor";
    QTest::newRow("empty, stored") << QByteArray() << "stor";
    // Read and compressed a MiB at a time: a piece left over, and none.
    QTest::newRow("several MiB") << randomBytes(1 << 20, 3).toHex().left(3 * (1 << 20) + 17)
                                 << "def";
    QTest::newRow("whole MiBs") << QByteArray("page of a database ").repeated(1 << 17).left(2 << 20)
                                << "def";
}

// Read back by Info-ZIP's unzip and zipinfo and by our own reader.
void TestDatabaseBackup::archiveHoldsTheFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, method);
    QTemporaryDir dir;
    const QString database = dir.filePath(QStringLiteral("rc.db"));
    const QString archive = dir.filePath(QStringLiteral("rcdb-270304-0705.zip"));
    QVERIFY(writeFile(database, content));
    QVERIFY(QFile::setPermissions(database, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                QFileDevice::ReadGroup));
    QString why;
    QVERIFY2(backUp(database, archive, &why), qPrintable(why));
    // Whoever may not read the database may not read its copy either.
    QCOMPARE(QFile::permissions(archive), QFile::permissions(database));

    QByteArray listing;
    QCOMPARE(runProgram(QStringLiteral("zipinfo"), {archive}, {}, &listing), 0);
    const QStringList lines = QString::fromUtf8(listing).split(QLatin1Char('\n'));
    QCOMPARE(lines.filter(QStringLiteral(" rc.db")).size(), 1);
    const QString entry = lines.filter(QStringLiteral(" rc.db")).constFirst();
    QVERIFY2(entry.startsWith(QStringLiteral("-rw-r-----")), qPrintable(entry));
    QVERIFY2(entry.contains(method), qPrintable(entry));
    QVERIFY(listing.contains("1 file"));

    QByteArray unzipped;
    QCOMPARE(runProgram(QStringLiteral("unzip"), {QStringLiteral("-p"), archive}, {}, &unzipped),
             0);
    QCOMPARE(unzipped, content);
    QCOMPARE(runProgram(QStringLiteral("unzip"), {QStringLiteral("-tq"), archive}), 0);
    QCOMPARE(
        runProgram(QStringLiteral("python3"),
                   {QStringLiteral("-c"),
                    QStringLiteral("import sys, zipfile\n"
                                   "z = zipfile.ZipFile(sys.argv[1])\n"
                                   "assert z.testzip() is None and z.namelist() == ['rc.db']\n"
                                   "assert z.read('rc.db') == open(sys.argv[2], 'rb').read()\n"),
                    archive, database}),
        0);

    const QString out = dir.filePath(QStringLiteral("out"));
    QVERIFY(QDir().mkpath(out));
    QVERIFY(PackageExtraction(out).extractAll(archive));
    QCOMPARE(readFile(out + QStringLiteral("/rc.db")), content);
}

void TestDatabaseBackup::sameMinuteReplaces()
{
    QTemporaryDir dir;
    const QString database = dir.filePath(QStringLiteral("rc.db"));
    const QString archive =
        dir.filePath(DatabaseBackup::archiveName(QDateTime(QDate(2027, 1, 2), QTime(3, 4, 5))));
    QVERIFY(writeFile(database, QByteArray("first run ").repeated(20)));
    QVERIFY(backUp(database, archive));
    QVERIFY(writeFile(database, QByteArray("second run").repeated(30)));
    QVERIFY(backUp(database, archive));

    QCOMPARE(QDir(dir.path()).entryList({QStringLiteral("*.zip")}).size(), 1);
    QByteArray unzipped;
    QCOMPARE(runProgram(QStringLiteral("unzip"), {QStringLiteral("-p"), archive}, {}, &unzipped),
             0);
    QCOMPARE(unzipped, QByteArray("second run").repeated(30));
}

void TestDatabaseBackup::unreadableDatabase_data()
{
    QTest::addColumn<bool>("folder");
    QTest::newRow("missing") << false;
    QTest::newRow("a folder") << true;
}

void TestDatabaseBackup::unreadableDatabase()
{
    QFETCH(bool, folder);
    QTemporaryDir dir;
    const QString database = dir.filePath(QStringLiteral("rc.db"));
    if (folder)
        QVERIFY(QDir().mkpath(database));
    const QString archive = dir.filePath(QStringLiteral("rcdb-270304-0705.zip"));
    QVERIFY(!backUp(database, archive));
    QVERIFY(!QFile::exists(archive));
}

// A backup that could not be written completely is no backup: it fails and leaves nothing.
void TestDatabaseBackup::fullDiskLeavesNoArchive()
{
    QTemporaryDir dir;
    const QString database = dir.filePath(QStringLiteral("rc.db"));
    QVERIFY(writeFile(database, randomBytes(256 * 1024, 42)));
    const QString archive = dir.filePath(QStringLiteral("rcdb-270304-0705.zip"));
    QString why;
    {
        const FileSizeLimit limit(64 * 1024);
        QVERIFY(!backUp(database, archive, &why));
    }
    // The system's own words reach the log.
    QVERIFY2(why.contains(QStringLiteral("File too large")), qPrintable(why));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"rc.db"});
}

QTEST_GUILESS_MAIN(TestDatabaseBackup)
#include "tst_databasebackup.moc"
