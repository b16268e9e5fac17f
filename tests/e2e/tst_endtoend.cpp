#include <QDir>
#include <QFile>
#include <QTest>

#include "tests/support/installation.h"

namespace {

QString canonicalRoot(const Installation &inst)
{
    return QDir(inst.root()).canonicalPath();
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void installsExecutableAndRestarts();
    void nothingNewerOnlyRestarts();
    void hostilePackageWritesNothingOutside();
};

void TestEndToEnd::installsExecutableAndRestarts()
{
    Installation inst;
    inst.setInstalled("Settings/softwareName", "Kestrelix");
    inst.setInstalled("UpdateInfo/serverdb", "");
    inst.setInstalled("UpdateInfo/main", "2024-01-01");
    inst.setInstalled("UpdateInfo/distributor", "north");
    QVERIFY(inst.writeRecorderExecutable("kestrelix.exe", "old build"));
    QVERIFY(inst.offerPackage("main.zip", {}, "new build"));
    QVERIFY(inst.offerPackage("other.zip", {{"help/index.html", "help"}}));
    QVERIFY(inst.offerPackage("distributor-north.zip", {{"north.txt", "north"}}));
    inst.setOffered("UpdateInfo/main", "2025-02-03");
    inst.setOffered("UpdateInfo/other", "2025-02-04");

    QByteArray output;
    QCOMPARE(runUpdater(inst, &output), 0);
    QVERIFY2(inst.readFile("kestrelix.exe").contains("new build"), output.constData());
    QVERIFY(!inst.exists("software.exe"));
    QCOMPARE(inst.installed("UpdateInfo/main"), "2025-02-03");
    QCOMPARE(inst.installed("UpdateInfo/other"), "2025-02-04");
    QCOMPARE(inst.readFile("help/index.html"), QByteArray("help"));
    QCOMPARE(inst.readFile("north.txt"), QByteArray("north"));
    QVERIFY(inst.waitForStarts(1));
    QCOMPARE(inst.startedFrom(), QStringList{canonicalRoot(inst)});

    // Support can read what the user saw, in order, in the updater's own folder.
    const QString log = QString::fromUtf8(inst.readFile("update/update.log"));
    const QStringList shown = {"=== ",
                               "progress: 0 of 1000",
                               "text: exe file updating...",
                               "progress: 900 of 1000",
                               "text: All updates have been installed.",
                               "status: 0"};
    qsizetype at = 0;
    for (const QString &line : shown) {
        at = log.indexOf(line, at);
        QVERIFY2(at >= 0, qPrintable(line));
    }
    QCOMPARE(runUpdater(inst), 0);
    const QString again = QString::fromUtf8(inst.readFile("update/update.log"));
    QCOMPARE(again.count("=== "), 2);
    QVERIFY(again.indexOf("status: 1") > again.lastIndexOf("=== "));
}

void TestEndToEnd::nothingNewerOnlyRestarts()
{
    Installation inst;
    QVERIFY(inst.writeFile("config.ini", "[Settings]\nsoftwareName=MyRemote\n[UpdateInfo]\n"
                                         "serverdb=\nmain=2025-01-01\nother=2025-01-01\n"));
    QVERIFY(inst.writeRecorderExecutable("myremote.exe", "old build"));
    QVERIFY(inst.offerPackage("main.zip", {}, "new build"));
    inst.setOffered("UpdateInfo/main", "2025-01-01");
    inst.setOffered("UpdateInfo/other", "2024-12-31");
    const QByteArray before = inst.readFile("config.ini");

    QCOMPARE(runUpdater(inst), 0);
    QVERIFY(inst.waitForStarts(1));
    QCOMPARE(inst.startedFrom(), QStringList{canonicalRoot(inst)});
    QCOMPARE(inst.readFile("config.ini"), before);
    QVERIFY(inst.readFile("myremote.exe").contains("old build"));
    QVERIFY(!inst.exists("software.exe"));
}

void TestEndToEnd::hostilePackageWritesNothingOutside()
{
    // The installation sits two levels down so that "../../" stays inside the test's folder.
    QTemporaryDir outer;
    Installation inst;
    const QString script = "import zipfile,sys\n"
                           "z=zipfile.ZipFile(sys.argv[1],'w')\n"
                           "z.writestr('software.exe','#!/bin/sh\\n')\n"
                           "z.writestr('../../escape.txt','escaped')\n"
                           "z.writestr(zipfile.ZipInfo('" +
                           outer.path() +
                           "/absolute.txt'),'escaped')\n"
                           "z.close()\n";
    QCOMPARE(runProgram("python3", {"-c", script, inst.path("update-tmp/main.zip")}, inst.root()),
             0);
    inst.setInstalled("UpdateInfo/serverdb", "");
    QVERIFY(inst.writeRecorderExecutable("kestrelix.exe", "old build"));
    inst.setOffered("UpdateInfo/main", "2030-01-01");

    QCOMPARE(runUpdater(inst), 0);
    QVERIFY(inst.waitForStarts(1));
    QVERIFY(inst.readFile("kestrelix.exe").contains("old build"));
    QCOMPARE(inst.installed("UpdateInfo/main"), "");
    QVERIFY(!inst.exists("software.exe"));
    QVERIFY(!QFile::exists(QDir(inst.root()).absoluteFilePath("../../escape.txt")));
    QVERIFY(!QFile::exists(QDir(inst.root()).absoluteFilePath("../escape.txt")));
    QVERIFY(!QFile::exists(outer.path() + "/absolute.txt"));
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
