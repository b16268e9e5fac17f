// The archive writer, as the backup uses it.

#include "tests/common/tst_zip.h"
#include "tools/zipwriter/zipwriter.h"

void TestZip::writerRoundTrip()
{
    Installation inst;
    QByteArray big;
    for (int i = 0; i < 100000; ++i)
        big += char('a' + i % 26);
    QVERIFY(inst.writeFile(
        "rc.db", big, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup));
    QVERIFY(inst.writeFile("small", "tiny"));

    const QString archive = inst.path("backup/out.zip");
    Zip::Writer writer(archive);
    QVERIFY(writer.open());
    writer.setCompressionLevel(1);
    QVERIFY(writer.addFile("rc.db", inst.path("rc.db"), QFile::permissions(inst.path("rc.db"))));
    QVERIFY(writer.addFile("small", inst.path("small"), QFile::permissions(inst.path("small"))));
    QVERIFY(!QFile::exists(archive)); // nothing at the path before close()
    QVERIFY2(writer.close(), qPrintable(writer.errorString()));

    QByteArray listing;
    QCOMPARE(runProgram("unzip", {"-Z", "-v", archive}, inst.root(), &listing), 0);
    QVERIFY(listing.contains("compression method:                             deflated"));
    QVERIFY(listing.contains("compression method:                             none (stored)"));
    QVERIFY(listing.contains("Unix file attributes (100640 octal)"));

    QByteArray extracted;
    QCOMPARE(runProgram("unzip", {"-p", archive, "rc.db"}, inst.root(), &extracted), 0);
    QCOMPARE(extracted, big);

    QDir().mkpath(inst.path("out"));
    QVERIFY(PackageExtraction(inst.path("out")).extractAll(archive));
    QCOMPARE(inst.readFile("out/rc.db"), big);
    QCOMPARE(inst.readFile("out/small"), QByteArray("tiny"));
}

void TestZip::writerFailsWithoutFolder()
{
    Installation inst;
    QVERIFY(inst.writeFile("rc.db", "data"));
    Zip::Writer missingFolder(inst.path("no-such-folder/out.zip"));
    QVERIFY(!missingFolder.open());

    QDir().mkpath(inst.path("backup/taken.zip"));
    Zip::Writer folderInTheWay(inst.path("backup/taken.zip"));
    QVERIFY(!folderInTheWay.open());

    // The source vanishes before close(): close() fails and leaves no archive behind.
    Zip::Writer vanished(inst.path("backup/out.zip"));
    QVERIFY(vanished.open());
    QVERIFY(vanished.addFile("rc.db", inst.path("rc.db"), QFile::permissions(inst.path("rc.db"))));
    QVERIFY(QFile::remove(inst.path("rc.db")));
    QVERIFY(!vanished.close());
    QVERIFY(!QFile::exists(inst.path("backup/out.zip")));
}
