#include "tests/common/tst_zip.h"

#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include <QFileInfo>

#include "common/files/filereplace.h"
#include "common/zip/zipextract.h"

namespace {

QStringList filesBelow(const QString &folder)
{
    QStringList found;
    QDir dir(folder);
    const auto entries =
        dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &info : entries) {
        found << info.fileName();
        if (info.isDir() && !info.isSymLink())
            for (const QString &inner : filesBelow(info.filePath()))
                found << info.fileName() + QLatin1Char('/') + inner;
    }
    found.sort();
    return found;
}

} // namespace

void TestZip::extractsInfoZipPackage()
{
    Installation inst;
    QVERIFY(inst.writeFile(QStringLiteral("src/bin/tool"), "#!/bin/sh\n",
                           QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                               QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                               QFileDevice::ExeGroup));
    QVERIFY(inst.writeFile(QStringLiteral("src/doc/readme.txt"), QByteArray(5000, 'r')));
    QVERIFY(QFile::link(QStringLiteral("../doc/readme.txt"), inst.path("src/bin/readme")));
    QVERIFY(inst.zipFolder(QStringLiteral("pkg.zip"), QStringLiteral("src")));

    QDir().mkpath(inst.path("out"));
    PackageExtraction extractor(inst.path("out"));
    QVERIFY2(extractor.extractAll(inst.path("update-tmp/pkg.zip")),
             qPrintable(extractor.errorString()));
    QCOMPARE(inst.readFile("out/doc/readme.txt"), QByteArray(5000, 'r'));
    const QFileInfo tool(inst.path("out/bin/tool"));
    QVERIFY(tool.isExecutable());
    QCOMPARE(tool.permissions() & (QFileDevice::ExeGroup | QFileDevice::WriteOther),
             QFileDevice::ExeGroup);
    const QFileInfo link(inst.path("out/bin/readme"));
    QVERIFY(link.isSymLink());
    QCOMPARE(link.symLinkTarget(), QFileInfo(inst.path("out/doc/readme.txt")).absoluteFilePath());
    QVERIFY(!filesBelow(inst.path("out")).join(' ').contains(".part"));
}

void TestZip::replacesExistingFiles()
{
    // A file of the package or of the installation named like a scratch file is nobody's
    // scratch: it survives the writing of the file it stands beside.
    Installation inst;
    QVERIFY(inst.writeFile("src/a.txt", "new contents"));
    QVERIFY(inst.writeFile("src/.b.txt.part", "an entry of its own"));
    QVERIFY(inst.writeFile("src/b.txt", "b"));
    QVERIFY(inst.zipFolder("pkg.zip", "src"));
    QVERIFY(inst.writeFile("out/a.txt", "old contents that were longer"));
    QVERIFY(inst.writeFile("out/.a.txt.part", "a file of the installation"));
    QVERIFY(PackageExtraction(inst.path("out")).extractAll(inst.path("update-tmp/pkg.zip")));
    QCOMPARE(inst.readFile("out/a.txt"), QByteArray("new contents"));
    QCOMPARE(inst.readFile("out/.a.txt.part"), QByteArray("a file of the installation"));
    QCOMPARE(inst.readFile("out/.b.txt.part"), QByteArray("an entry of its own"));
    const QStringList installed{".a.txt.part", ".b.txt.part", "a.txt", "b.txt"};
    QCOMPARE(filesBelow(inst.path("out")), installed);

    // A part left by a run that was killed, and a link planted under the part's name or the
    // scratch folder's, are replaced, never written through.
    const QString scratch = inst.path("out/" + ScratchFolder::name());
    QVERIFY(inst.writeFile("out/" + ScratchFolder::name() + "/a.txt.part", "stale"));
    QVERIFY(PackageExtraction(inst.path("out")).extractAll(inst.path("update-tmp/pkg.zip")));
    QCOMPARE(filesBelow(inst.path("out")), installed);

    QVERIFY(inst.writeFile("victim.txt", "untouched"));
    QVERIFY(QDir().mkpath(scratch));
    QVERIFY(QFile::link(inst.path("victim.txt"), scratch + "/a.txt.part"));
    QVERIFY(PackageExtraction(inst.path("out")).extractAll(inst.path("update-tmp/pkg.zip")));
    QCOMPARE(filesBelow(inst.path("out")), installed);
    QVERIFY(QDir().mkpath(inst.path("elsewhere")));
    QVERIFY(QFile::link(inst.path("elsewhere"), scratch));
    QVERIFY(PackageExtraction(inst.path("out")).extractAll(inst.path("update-tmp/pkg.zip")));
    QCOMPARE(filesBelow(inst.path("out")), installed);
    QCOMPARE(inst.readFile("victim.txt"), QByteArray("untouched"));
    QVERIFY(filesBelow(inst.path("elsewhere")).isEmpty());
}

void TestZip::installsPermissionBitsOnly()
{
    // Unpacked by root, a set-user-id entry would run as root for whoever starts it.
    Installation inst;
    const QString archive = inst.path("update-tmp/pkg.zip");
    QVERIFY(pythonZip(archive, "[('d/',b'',0o43777),('d/tool',b'x',0o106755),"
                               "('plain',b'x',0o100640)]"));
    QVERIFY(QDir().mkpath(inst.path("out")));
    QVERIFY(PackageExtraction(inst.path("out")).extractAll(archive));
    auto modeOf = [&](const char *name) {
        struct stat st;
        return ::stat(QFile::encodeName(inst.path(name)).constData(), &st) == 0
                   ? int(st.st_mode & 07777)
                   : -1;
    };
    QCOMPARE(modeOf("out/d"), 0777);
    QCOMPARE(modeOf("out/d/tool"), 0755);
    QCOMPARE(modeOf("out/plain"), 0640);
}

void TestZip::refusesUnsafeEntries_data()
{
    QTest::addColumn<QString>("entries");

    // The first entry is always harmless: a refused package must not write even that.
    const QString ok = QStringLiteral("('first.txt',b'x',0o100644),");
    QTest::newRow("parent folder") << "[" + ok + "('../escape.txt',b'x',0o100644)]";
    QTest::newRow("deep parent") << "[" + ok + "('a/../../escape.txt',b'x',0o100644)]";
    QTest::newRow("backslash parent") << "[" + ok + "('..\\\\escape.txt',b'x',0o100644)]";
    QTest::newRow("absolute") << "[" + ok + "('/tmp/kx-escape.txt',b'x',0o100644)]";
    QTest::newRow("drive letter") << "[" + ok + "('C:/escape.txt',b'x',0o100644)]";
    QTest::newRow("link outside") << "[" + ok + "('up',b'../..',0o120777)]";
    QTest::newRow("absolute link") << "[" + ok + "('etc',b'/etc',0o120777)]";
    QTest::newRow("file through a link")
        << "[" + ok + "('l',b'..',0o120777),('l/escape.txt',b'x',0o100644)]";
    QTest::newRow("empty link") << "[" + ok + "('l',b'',0o120777)]";
    // Each link stays inside on its own; followed together they lead beside the target.
    QTest::newRow("link up through a link to here")
        << "[" + ok + "('x',b'.',0o120777),('s/',b'',0o40755),('s/l',b'../x/../q',0o120777)]";
    QTest::newRow("link made through a link")
        << "[" + ok + "('a',b'.',0o120777),('a/b/l',b'../../q',0o120777)]";
    QTest::newRow("links in a loop") << "[" + ok + "('p',b'q',0o120777),('q',b'p',0o120777)]";
    QTest::newRow("same path twice")
        << "[" + ok + "('a/x.txt',b'1',0o100644),('a\\\\x.txt',b'2',0o100644)]";
    QTest::newRow("into the scratch folder")
        << "[" + ok + "('.update-scratch/x.part',b'x',0o100644)]";
    QTest::newRow("over the run's lock") << "[" + ok + "('.update-lock',b'x',0o100644)]";
    QTest::newRow("into a work folder")
        << "[" + ok + "('.Update-Work-abc123/rc.db',b'x',0o100644)]";
}

void TestZip::refusesUnsafeEntries()
{
    QFETCH(QString, entries);
    Installation inst;
    const QString archive = inst.path("update-tmp/bad.zip");
    QVERIFY(pythonZip(archive, entries));
    QDir().mkpath(inst.path("out/inner"));

    PackageExtraction extractor(inst.path("out/inner"));
    QVERIFY(!extractor.extractAll(archive));
    const QString error = extractor.errorString();
    QVERIFY(!error.isEmpty());
    QCOMPARE(filesBelow(inst.path("out")), QStringList{"inner"});
    QVERIFY(!QFile::exists("/tmp/kx-escape.txt"));
}

void TestZip::refusesWritingThroughExistingLink()
{
    // A link already in the target folder that leads outside is not followed.
    Installation inst;
    QDir().mkpath(inst.path("out"));
    QDir().mkpath(inst.path("elsewhere"));
    QVERIFY(QFile::link(inst.path("elsewhere"), inst.path("out/sub")));
    const QString archive = inst.path("update-tmp/pkg.zip");
    // Decided before anything is written: not even the harmless first entry lands.
    for (const char *entry : {"('sub/planted.txt',b'x',0o100644)", "('sub/made/',b'',0o40755)",
                              "('sub/deeper/x',b'x',0o100644)"}) {
        QVERIFY(pythonZip(archive, QStringLiteral("[('first.txt',b'x',0o100644),%1]").arg(entry)));
        QVERIFY(!PackageExtraction(inst.path("out")).extractAll(archive));
        QCOMPARE(filesBelow(inst.path("out")), QStringList{"sub"});
    }
    QVERIFY(filesBelow(inst.path("elsewhere")).isEmpty());
}

void TestZip::refusedBeforeAnythingLands_data()
{
    QTest::addColumn<QString>("entries");
    QTest::addColumn<QString>("package"); // a damaged package of tests/data/packages/ instead
    QTest::addColumn<QString>("onDisk");  // a file (or with a trailing "/", a folder) in out/
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("inodes"); // out/ on a file system of that many inodes, 0 for none

    // The first entries are harmless and would land first: a refused package writes none of them.
    // The damaged packages begin with the same three.
    const QString ok = QStringLiteral("('first.txt',b'x',0o100644),('newdir/',b'',0o40755),"
                                      "('newdir/second.txt',b'y',0o100644),");
    QTest::newRow("CRC error") << ""
                               << "crc-error.zip"
                               << ""
                               << "Damaged entry \"data.bin\"" << 0;
    // Deflate64, as 7-Zip and Windows write for large entries; libzip can not read it.
    QTest::newRow("unsupported method")
        << ""
        << "deflate64.zip"
        << ""
        << "compressed with a method this updater can not read" << 0;
    QTest::newRow("a file on disk where a folder is needed")
        << "[" + ok + "('docs/a.txt',b'x',0o100644)]"
        << ""
        << "docs"
        << "\"docs\" is a file, and entry \"docs/a.txt\" needs a folder there" << 0;
    QTest::newRow("a folder on disk where a file goes")
        << "[" + ok + "('thing',b'x',0o100644)]"
        << ""
        << "thing/"
        << "\"thing\" is a folder, and entry \"thing\" is a file" << 0;
    QTest::newRow("a file the package needs as a folder")
        << "[" + ok + "('a',b'x',0o100644),('a/b',b'y',0o100644)]"
        << ""
        << ""
        << "entry \"a\" is a file, and entry \"a/b\" needs it as a folder" << 0;
    QTest::newRow("name too long") << "[" + ok + "('" + QString(300, 'n') + "',b'x',0o100644)]"
                                   << ""
                                   << ""
                                   << "is too long for the file system" << 0;
    QTest::newRow("path too long")
        << "[" + ok + "('" + QStringList(20, QString(250, 'p')).join('/') + "',b'x',0o100644)]"
        << ""
        << ""
        << "the path is too long for the file system" << 0;
    // Staged whole, then the inodes run out while folders are made: what was made goes again.
    QTest::newRow("inodes run out after staging")
        << "[" + ok + "('more/',b'',0o40755),('more/x',b'z',0o100644)]"
        << ""
        << ""
        << "No space left on device" << 6;
}

void TestZip::refusedBeforeAnythingLands()
{
    QFETCH(QString, entries);
    QFETCH(QString, package);
    QFETCH(QString, onDisk);
    QFETCH(QString, reason);
    QFETCH(int, inodes);
    Installation inst;
    const QString archive = inst.path("update-tmp/bad.zip");
    if (package.isEmpty())
        QVERIFY(pythonZip(archive, entries, "ZIP_STORED"));
    else
        QVERIFY(QFile::copy(sourcePath("tests/data/packages/" + package), archive));
    QVERIFY(QDir().mkpath(inst.path("out")));
    std::unique_ptr<SmallFileSystem> small;
    if (inodes > 0) {
        if (::geteuid() != 0)
            QSKIP("only root can mount a file system");
        small = std::make_unique<SmallFileSystem>(inst.path("out"), 0, inodes);
        QVERIFY(small->isMounted());
    }
    if (onDisk.endsWith('/'))
        QVERIFY(inst.writeFile("out/" + onDisk + "inside", "kept"));
    else if (!onDisk.isEmpty())
        QVERIFY(inst.writeFile("out/" + onDisk, "kept"));
    const QStringList before = filesBelow(inst.path("out"));

    PackageExtraction extractor(inst.path("out"));
    QVERIFY(!extractor.extractAll(archive));
    const QString error = extractor.errorString();
    QVERIFY2(error.contains(reason), qPrintable(error));
    QCOMPARE(filesBelow(inst.path("out")), before);
}

void TestZip::windowsFolderEntries()
{
    // Windows tools write folders with a backslash, and the files in them too.
    Installation inst;
    const QString archive = inst.path("update-tmp/pkg.zip");
    QVERIFY(pythonZip(archive, "[('docs\\\\',b'',0o40755),('docs\\\\sub\\\\',b'',0o40755),"
                               "('docs\\\\sub\\\\a.txt',b'x',0o100644)]"));
    QVERIFY(QDir().mkpath(inst.path("out")));
    PackageExtraction extractor(inst.path("out"));
    QVERIFY2(extractor.extractAll(archive), qPrintable(extractor.errorString()));
    QCOMPARE(filesBelow(inst.path("out")), (QStringList{"docs", "docs/sub", "docs/sub/a.txt"}));
}

void TestZip::nothingToExtract_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<bool>("succeeds");
    // A missing package is nothing to install; one that is there but unreadable is refused.
    QTest::newRow("missing") << QByteArray("-") << true;
    QTest::newRow("zero bytes") << QByteArray() << false;
    QTest::newRow("text named .zip") << QByteArray("this is not an archive\n") << false;
}

void TestZip::nothingToExtract()
{
    QFETCH(QByteArray, contents);
    QFETCH(bool, succeeds);
    Installation inst;
    if (contents != "-")
        QVERIFY(inst.writeFile("update-tmp/pkg.zip", contents));
    QDir().mkpath(inst.path("out"));
    QCOMPARE(PackageExtraction(inst.path("out")).extractAll(inst.path("update-tmp/pkg.zip")),
             succeeds);
    QVERIFY(filesBelow(inst.path("out")).isEmpty());
}

void TestZip::damagedEntryFails()
{
    // Cut the compressed data of a large entry short: the entry cannot be read to its end.
    Installation inst;
    QByteArray data;
    for (int i = 0; i < 20000; ++i)
        data += QByteArray::number(i * 7919 % 100003) + ',';
    QVERIFY(inst.writeFile("src/big.txt", data));
    QVERIFY(inst.zipFolder("pkg.zip", "src"));
    QByteArray archive = inst.readFile("update-tmp/pkg.zip");
    const int start = archive.indexOf("big.txt") + 7 + 2000;
    for (int i = start; i < start + 4000; ++i)
        archive[i] = char(archive[i] ^ 0x5a);
    QVERIFY(inst.writeFile("update-tmp/pkg.zip", archive));
    QVERIFY(inst.writeFile("out/big.txt", "previous"));

    QVERIFY(!PackageExtraction(inst.path("out")).extractAll(inst.path("update-tmp/pkg.zip")));
    QCOMPARE(inst.readFile("out/big.txt"), QByteArray("previous"));
    QCOMPARE(filesBelow(inst.path("out")), QStringList{"big.txt"});
}

void TestZip::moreDataThanDeclaredFails()
{
    // A megabyte of zeros whose sizes claim ten bytes: the free space was checked against ten.
    Installation inst;
    const QString archive = inst.path("update-tmp/pkg.zip");
    QVERIFY(QFile::copy(sourcePath("tests/data/packages/more-data-than-declared.zip"), archive));
    QVERIFY(inst.writeFile("out/big.bin", "previous"));

    PackageExtraction extractor(inst.path("out"));
    QVERIFY(!extractor.extractAll(archive));
    const QString error = extractor.errorString();
    QVERIFY2(error.contains("more data than the 10 bytes declared"), qPrintable(error));
    QCOMPARE(inst.readFile("out/big.bin"), QByteArray("previous"));
    QCOMPARE(filesBelow(inst.path("out")), QStringList{"big.bin"});
}

QTEST_GUILESS_MAIN(TestZip)
