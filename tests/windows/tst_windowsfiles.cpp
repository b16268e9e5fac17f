// What only Windows asks of the files: names it takes for something else, names that differ in
// case alone, a program replaced while it runs, locks, the work folder's access list and reparse
// points. Runs under Wine (or on Windows itself).

// clang-format off
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "common/files/platform.h"
#include "tests/support/files.h"
#include "tests/support/testmain.h"
#include "tools/zipwriter/zipwriter.h"

namespace {

// A package of small files with these names, in the folder.
QString packageOf(const QString &folder, const QStringList &names)
{
    const QString path = folder + QStringLiteral("/package.zip");
    Zip::Writer writer(path);
    if (!writer.open())
        return QString();
    for (const QString &name : names)
        if (!writer.addData(name, QByteArrayLiteral("x"), QFileDevice::ReadOwner))
            return QString();
    return writer.close() ? path : QString();
}

std::wstring wide(const QString &path)
{
    return QDir::toNativeSeparators(path).toStdWString();
}

// The 8.3 name that Windows gives the last component of path, empty when it gives none.
QString shortNameOf(const QString &path)
{
    wchar_t buffer[MAX_PATH];
    const DWORD n = GetShortPathNameW(wide(path).c_str(), buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return QString();
    return QFileInfo(QDir::fromNativeSeparators(QString::fromWCharArray(buffer, int(n))))
        .fileName();
}

} // namespace

class TestWindowsFiles : public QObject
{
    Q_OBJECT

private slots:
    void packagesRefusedWhole_data();
    void packagesRefusedWhole();
    void specialNamesNeverMade_data();
    void specialNamesNeverMade();
    void runningProgramRenamedAside();
    void lockHeldElsewhere();
    void fileHeldOpen();
    void workFolderForTheUserAlone();
    void reparsePointsNotFollowed();
};

void TestWindowsFiles::packagesRefusedWhole_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QString>("why"); // empty: the package lands
    const QString plain = QStringLiteral("a.txt");
    QTest::newRow("plain names") << QStringList{plain, "docs/b.txt", "com10.txt", "console"}
                                 << QString();
    QTest::newRow("folders differing in case, one folder")
        << QStringList{"Docs/a.txt", "docs/b.txt"} << QString();
    QTest::newRow("device") << QStringList{plain, "CON"} << "device";
    QTest::newRow("device, extension") << QStringList{plain, "nul.txt"} << "device";
    QTest::newRow("device, two extensions") << QStringList{plain, "Com1.tar.gz"} << "device";
    QTest::newRow("device as a folder") << QStringList{plain, "lpt9/a.txt"} << "device";
    QTest::newRow("device, space before the dot") << QStringList{plain, "aux .txt"} << "device";
    QTest::newRow("trailing dot") << QStringList{plain, "report."} << "dot or a space";
    QTest::newRow("trailing space") << QStringList{plain, "docs /b.txt"} << "dot or a space";
    QTest::newRow("stream") << QStringList{plain, "a.txt:hidden"} << "\":\"";
    QTest::newRow("drive-relative") << QStringList{plain, "C:x.txt"} << "C:x.txt";
    QTest::newRow("UNC") << QStringList{plain, "\\\\server\\share\\x.txt"} << "server";
    for (const char *c : {"<", ">", "\"", "|", "?", "*"})
        QTest::addRow("character %s", c)
            << QStringList{plain, QStringLiteral("a%1b").arg(QLatin1String(c))}
            << QStringLiteral("\"%1\"").arg(QLatin1String(c));
    QTest::newRow("names differing in case") << QStringList{plain, "A.TXT"} << "twice";
    QTest::newRow("short name of a folder that stands")
        << QStringList{plain, "SHORT/a.txt"} << "short name";
}

// Refused before anything lands: the target holds afterwards what it held before.
void TestWindowsFiles::packagesRefusedWhole()
{
    QFETCH(QStringList, names);
    QFETCH(QString, why);
    QTemporaryDir dir;
    const QString target = dir.filePath("target");
    QVERIFY(QDir(dir.path()).mkpath("target/Docs/A Folder With A Long Name"));
    if (names.last().startsWith("SHORT/")) {
        const QString shortName = shortNameOf(target + "/Docs/A Folder With A Long Name");
        if (shortName.isEmpty() || shortName == "A Folder With A Long Name")
            QSKIP("the file system gives no 8.3 names");
        names.last() = "Docs/" + shortName + "/a.txt";
    }
    const QString package = packageOf(dir.path(), names);
    QVERIFY(!package.isEmpty());
    PackageExtraction extraction(target);
    const bool landed = extraction.extractAll(package);
    if (why.isEmpty()) {
        QVERIFY2(landed, qPrintable(extraction.errorString()));
        return;
    }
    QVERIFY(!landed);
    QVERIFY2(extraction.errorString().contains(why), qPrintable(extraction.errorString()));
    QCOMPARE(entriesIn(target), QStringList{"Docs"});
    QCOMPARE(entriesIn(target + "/Docs"), QStringList{"A Folder With A Long Name"});
}

void TestWindowsFiles::specialNamesNeverMade_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : {"CON", "prn.log", "COM3", "LPT1.txt", "CONOUT$", "x.", "x ", "a:b",
                             "a?", "a*b", "a|b", "a<b", "a>b", "a\"b"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

// The platform layer itself makes no file, folder or rename to such a name, whoever asks.
void TestWindowsFiles::specialNamesNeverMade()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    Platform::Folder folder;
    QVERIFY(folder.open(dir.path()));
    QVERIFY(!folder.createFile(name, 0644).isOpen());
    QVERIFY(!folder.makeFolder(name, 0755));
    QVERIFY(folder.createFile("plain", 0644).isOpen());
    QVERIFY(!folder.rename("plain", folder, name));
    QCOMPARE(entriesIn(dir.path()), QStringList{"plain"});
}

// Windows renames a program that runs but does not replace it: the old one goes aside, the new
// one takes its name, and the program goes on running from the file renamed.
void TestWindowsFiles::runningProgramRenamedAside()
{
    const QString standIn =
        qEnvironmentVariable("UPDATER_BIN_DIR") + "/../tests/kestrelix-installed.exe";
    QVERIFY2(QFile::exists(standIn), qPrintable(standIn));
    QTemporaryDir dir;
    const QString running = dir.filePath("kestrelix.exe");
    QVERIFY(QFile::copy(standIn, running));
    QVERIFY(writeFile(dir.filePath("new.exe"), "the new build"));
    QProcess program;
    program.start(running, {"--hold", "30"});
    QVERIFY(program.waitForStarted());
    QElapsedTimer started;
    started.start();
    while (!QFile::exists(dir.filePath("started.log")) && started.elapsed() < 10000)
        QTest::qWait(50);

    Platform::Folder folder;
    QVERIFY(folder.open(dir.path()));
    const bool renamed = folder.rename("new.exe", folder, "kestrelix.exe");
    const QStringList entries = entriesIn(dir.path());
    QVERIFY(writeFile(dir.filePath("stop"), ""));
    QVERIFY(program.waitForFinished(20000));
    QVERIFY2(renamed, qPrintable(folder.errorString()));
    QCOMPARE(readFile(running), QByteArray("the new build"));
    if (!entries.contains("kestrelix.exe.old"))
        QSKIP("this system replaces a program that runs as it replaces any file");
    QCOMPARE(readFile(dir.filePath("kestrelix.exe.old")), readFile(standIn));
}

void TestWindowsFiles::lockHeldElsewhere()
{
    QTemporaryDir dir;
    Platform::Folder folder;
    QVERIFY(folder.open(dir.path()));
    bool busy = true;
    const Platform::File held = folder.lockFile(".update-lock", 1000, &busy);
    QVERIFY2(held.isOpen(), qPrintable(folder.errorString()));
    QVERIFY(!busy);
    QElapsedTimer waited;
    waited.start();
    QVERIFY(!folder.lockFile(".update-lock", 300, &busy).isOpen());
    QVERIFY(busy);
    QVERIFY(waited.elapsed() >= 250);
}

// An application that still has a file open (as SQLite has rc.db) keeps it from being replaced;
// the updater sees that before it changes anything.
void TestWindowsFiles::fileHeldOpen()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("rc.db"), "catalogue"));
    QVERIFY(writeFile(dir.filePath("new.db"), "release"));
    Platform::Folder folder;
    QVERIFY(folder.open(dir.path()));
    QVERIFY(!folder.isHeldOpen("rc.db"));
    const HANDLE held =
        CreateFileW(wide(dir.filePath("rc.db")).c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    QVERIFY(held != INVALID_HANDLE_VALUE);
    const bool seen = folder.isHeldOpen("rc.db");
    const bool replaced = folder.rename("new.db", folder, "rc.db");
    CloseHandle(held);
    QVERIFY(seen);
    QVERIFY(!replaced);
    QCOMPARE(readFile(dir.filePath("rc.db")), QByteArray("catalogue"));
    QVERIFY(!folder.isHeldOpen("rc.db"));
    QVERIFY2(folder.rename("new.db", folder, "rc.db"), qPrintable(folder.errorString()));
    QCOMPARE(readFile(dir.filePath("rc.db")), QByteArray("release"));
}

// The access list of the run's private folder: entries for the current user (the owner, who made
// it) alone, with full access passed on to what is made inside, and SYSTEM's, which Wine adds to
// every file; on Windows the list is protected from what the folder above passes on as well.
void TestWindowsFiles::workFolderForTheUserAlone()
{
    QTemporaryDir dir;
    Platform::Folder folder;
    QVERIFY(folder.open(dir.path()));
    const QString name = folder.makePrivateFolder("update-work-");
    QVERIFY2(!name.isEmpty(), qPrintable(folder.errorString()));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    QCOMPARE(GetNamedSecurityInfoW(wide(dir.filePath(name)).c_str(), SE_FILE_OBJECT,
                                   OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                                   nullptr, nullptr, nullptr, &descriptor),
             DWORD(ERROR_SUCCESS));
    LPWSTR sddl = nullptr;
    QVERIFY(ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &sddl,
        nullptr));
    const QString text = QString::fromWCharArray(sddl);
    LocalFree(sddl);
    LocalFree(descriptor);
    const QRegularExpressionMatch owner = QRegularExpression("^O:([^D]+)D:").match(text);
    QVERIFY2(owner.hasMatch(), qPrintable(text));
    QVERIFY2(text.contains("(A;OICI;FA;;;" + owner.captured(1) + ")"), qPrintable(text));
    QRegularExpressionMatchIterator entries = QRegularExpression("\\(([^)]*)\\)").globalMatch(text);
    while (entries.hasNext()) {
        const QString sid = entries.next().captured(1).section(';', 5);
        QVERIFY2(sid == owner.captured(1) || sid == "SY", qPrintable(text));
    }
}

// A reparse point (here a symbolic link) is never read through where a file of the download
// folder is expected, nor entered as a folder.
void TestWindowsFiles::reparsePointsNotFollowed()
{
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("elsewhere.txt"), "not ours"));
    QVERIFY(QDir(dir.path()).mkdir("folder"));
    Platform::Folder folder;
    QVERIFY(folder.open(dir.path()));
    if (!folder.makeLink("link.txt", dir.filePath("elsewhere.txt")))
        QSKIP(qPrintable("no symbolic links here: " + folder.errorString()));
    QVERIFY(folder.makeLink("link", dir.filePath("folder")));
    QVERIFY(folder.infoOf("link.txt").isLink());
    Platform::Folder::OpenFailure failure = Platform::Folder::OpenFailure::None;
    QVERIFY(!folder.openForReading("link.txt", false, &failure).isOpen());
    QCOMPARE(failure, Platform::Folder::OpenFailure::NotRegular);
    Platform::Folder inside;
    QVERIFY(!inside.openIn(folder, "link"));
    QVERIFY(folder.remove("link.txt"));
    QCOMPARE(readFile(dir.filePath("elsewhere.txt")), QByteArray("not ours"));
}

UPDATER_TEST_GUILESS_MAIN(TestWindowsFiles)
#include "tst_windowsfiles.moc"
