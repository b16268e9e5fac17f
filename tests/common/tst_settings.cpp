#include <QFileInfo>
#include <QSettings>
#include <QStringEncoder>
#include <QTest>

#include "common/rctypes.h"
#include "common/settings/settings.h"
#include "common/versiondate.h"
#include "tests/support/installation.h"

class TestSettings : public QObject
{
    Q_OBJECT

private slots:
    void installedKeys_data();
    void installedKeys();
    void offeredKeys_data();
    void offeredKeys();
    void rcTypeList_data();
    void rcTypeList();
    void versionOrder_data();
    void versionOrder();
    void recordVersionTouchesOneKey();
    void recordVersionKeepsEveryOtherByte_data();
    void recordVersionKeepsEveryOtherByte();
    void recordVersionKeepsLinkAndMode();
};

// Each row: the text of ../config.ini and what every typed read returns.
namespace {

QByteArray utf16(const QString &text, QStringConverter::Encoding encoding)
{
    return QStringEncoder(encoding, QStringConverter::Flag::WriteBom).encode(text);
}

} // namespace

void TestSettings::installedKeys_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("expected");

    const QByteArray empty;
    QTest::newRow("no file: language") << QByteArray("-") << "language"
                                       << "";
    QTest::newRow("absent: softwareName") << empty << "softwareName"
                                          << "Kestrelix";
    QTest::newRow("empty softwareName")
        << QByteArray("[Settings]\nsoftwareName=\n") << "softwareName"
        << "Kestrelix";
    QTest::newRow("softwareName kept as written")
        << QByteArray("[Settings]\nsoftwareName=MyRemote\n") << "softwareName"
        << "MyRemote";
    QTest::newRow("absent: company") << empty << "company"
                                     << "company";
    QTest::newRow("absent: address") << empty << "address"
                                     << "address";
    QTest::newRow("absent: contact") << empty << "contact"
                                     << "contact";
    QTest::newRow("absent: serverdb") << empty << "serverHost" << Settings::defaultServerHost();
    QTest::newRow("present empty serverdb")
        << QByteArray("[UpdateInfo]\nserverdb=\n") << "serverHost"
        << "";
    QTest::newRow("absent: distributor") << empty << "distributor"
                                         << "";
    QTest::newRow("rcTypes as an unquoted list")
        << QByteArray("[Settings]\nrcTypes=1,3,5\n") << "rcTypes"
        << "1,3,5";
    QTest::newRow("rcTypes quoted") << QByteArray("[Settings]\nrcTypes=\"1, 3\"\n") << "rcTypes"
                                    << "1, 3";
    QTest::newRow("company with a comma keeps its items")
        << QByteArray("[Settings]\ncompany=Acme, Inc\n") << "company"
        << "Acme,Inc";
    QTest::newRow("valid date") << QByteArray("[UpdateInfo]\nmain=2017-07-25\n") << "main"
                                << "2017-07-25";
    QTest::newRow("one-digit month is no date")
        << QByteArray("[UpdateInfo]\nmain=2017-7-25\n") << "main"
        << "";
    QTest::newRow("other form is no date")
        << QByteArray("[UpdateInfo]\ndatabase=25.07.2017\n") << "database"
        << "";
    QTest::newRow("absent date") << empty << "other"
                                 << "";
    QTest::newRow("impossible day") << QByteArray("[UpdateInfo]\nother=2017-02-30\n") << "other"
                                    << "";
    // As programs built on older Qt releases wrote it.
    QTest::newRow("Latin-1 company") << QByteArray("[Settings]\ncompany=M\xfcller\n") << "company"
                                     << QString::fromUtf8("M\u00fcller");
    QTest::newRow("UTF-16 company, as Notepad saves it")
        << utf16("[Settings]\r\ncompany=M\u00fcller\r\n", QStringConverter::Utf16LE) << "company"
        << QString::fromUtf8("M\u00fcller");
    QTest::newRow("UTF-8 company") << QByteArray("[Settings]\ncompany=M\xc3\xbcller\n") << "company"
                                   << QString::fromUtf8("M\u00fcller");
}

void TestSettings::installedKeys()
{
    QFETCH(QByteArray, ini);
    QFETCH(QString, field);
    QFETCH(QString, expected);

    Installation inst;
    if (ini != "-")
        QVERIFY(inst.writeFile(QStringLiteral("config.ini"), ini));
    inst.enter();
    const Settings::Installed s = Settings::readInstalled();
    const QHash<QString, QString> values{
        {"language", s.language},
        {"softwareName", s.softwareName},
        {"rcTypes", s.rcTypes},
        {"company", s.company},
        {"address", s.address},
        {"contact", s.contact},
        {"serverHost", s.serverHost},
        {"distributor", s.distributor},
        {"main", VersionDate::toSetting(s.main)},
        {"database", VersionDate::toSetting(s.database)},
        {"other", VersionDate::toSetting(s.other)},
    };
    QVERIFY(values.contains(field));
    QCOMPARE(values.value(field), expected);
}

void TestSettings::offeredKeys_data()
{
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<int>("updateMode");
    QTest::addColumn<QString>("database");

    QTest::newRow("absent") << QByteArray() << 0 << "";
    QTest::newRow("mode 2") << QByteArray("[UpdateInfo]\nupdateMode=2\n") << 2 << "";
    QTest::newRow("mode not a number")
        << QByteArray("[UpdateInfo]\nupdateMode=two\ndatabase=2020-01-31\n") << 0 << "2020-01-31";
    QTest::newRow("binary garbage") << QByteArray("\x00\xff[\x01=\x02\n", 8) << 0 << "";
}

void TestSettings::offeredKeys()
{
    QFETCH(QByteArray, ini);
    QFETCH(int, updateMode);
    QFETCH(QString, database);

    Installation inst;
    QVERIFY(inst.writeFile(QStringLiteral("update-tmp/config.ini"), ini));
    inst.enter();
    const Settings::Offered offered = Settings::readOffered();
    QCOMPARE(offered.updateMode, updateMode);
    QCOMPARE(VersionDate::toSetting(offered.database), database);
}

void TestSettings::rcTypeList_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("list");

    QTest::newRow("separators") << "1 5/12 x7"
                                << "1,5,12,7";
    QTest::newRow("semicolons") << "1;3;5"
                                << "1,3,5";
    QTest::newRow("brackets") << "[1] [3] [5]"
                              << "1,3,5";
    QTest::newRow("leading zeros kept") << "12abc007"
                                        << "12,007";
    QTest::newRow("duplicates kept") << "3,3"
                                     << "3,3";
    QTest::newRow("no digits") << "none"
                               << "";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("non-ASCII digits are separators") << QString::fromUtf8("1\u0663 2") << "1,2";
}

void TestSettings::rcTypeList()
{
    QFETCH(QString, setting);
    QFETCH(QString, list);
    QCOMPARE(rcTypeListFrom(setting), list);
}

void TestSettings::versionOrder_data()
{
    QTest::addColumn<QString>("offered");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<bool>("newer");

    QTest::newRow("later") << "2020-01-02"
                           << "2020-01-01" << true;
    QTest::newRow("equal") << "2020-01-01"
                           << "2020-01-01" << false;
    QTest::newRow("earlier") << "2019-12-31"
                             << "2020-01-01" << false;
    QTest::newRow("nothing installed") << "2000-01-01"
                                       << "" << true;
    QTest::newRow("nothing offered") << ""
                                     << "2020-01-01" << false;
    QTest::newRow("neither") << ""
                             << "" << false;
    QTest::newRow("unparseable offered") << "2021-1-1"
                                         << "2020-01-01" << false;
    QTest::newRow("across a year") << "2021-01-01"
                                   << "2020-12-31" << true;
}

void TestSettings::versionOrder()
{
    QFETCH(QString, offered);
    QFETCH(QString, installed);
    QFETCH(bool, newer);
    QCOMPARE(VersionDate::isLater(VersionDate::fromSetting(offered),
                                  VersionDate::fromSetting(installed)),
             newer);
}

void TestSettings::recordVersionTouchesOneKey()
{
    Installation inst;
    QVERIFY(
        inst.writeFile(QStringLiteral("config.ini"),
                       "[Settings]\nrcTypes=1,3\nlanguage=de\n[UpdateInfo]\nmain=2001-01-01\n"));
    inst.enter();
    QVERIFY(Settings::recordVersion(Settings::Key::database, QDate(2024, 3, 9)));
    QVERIFY(Settings::recordVersion(Settings::Key::other, QDate()));

    const QSettings after(inst.path(QStringLiteral("config.ini")), QSettings::IniFormat);
    QCOMPARE(after.value(QStringLiteral("UpdateInfo/database")).toString(), "2024-03-09");
    QCOMPARE(after.value(QStringLiteral("UpdateInfo/other")).toString(), "");
    QVERIFY(after.contains(QStringLiteral("UpdateInfo/other")));
    QCOMPARE(after.value(QStringLiteral("UpdateInfo/main")).toString(), "2001-01-01");
    QCOMPARE(after.value(QStringLiteral("Settings/language")).toString(), "de");
    const Settings::Installed installed = Settings::readInstalled();
    QCOMPARE(installed.rcTypes, "1,3");

    // A folder where the file should be: the write fails and says so.
    Installation broken;
    QDir(broken.root()).mkpath(QStringLiteral("config.ini"));
    broken.enter();
    QVERIFY(!Settings::recordVersion(Settings::Key::main, QDate(2024, 1, 1)));
}

void TestSettings::recordVersionKeepsEveryOtherByte_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QByteArray>("after"); // the file as it is left, written or not

    // As a Windows editor leaves it: a BOM, CRLF, comments, an empty section, a Latin-1 value, a
    // path with backslashes, an unquoted semicolon, a key with a blank.
    const QByteArray windows = "\xef\xbb\xbf; Kestrelix settings\r\n"
                               "[Settings]\r\n"
                               "company=M\xfcller\r\n"
                               "contact=Tel. 089 1234; Fax 089 5678\r\n"
                               "lastFile=C:\\Users\\joe\\My Remotes\\tv.kx\r\n"
                               "Window Title=Remotes\r\n"
                               "\r\n"
                               "[Empty]\r\n"
                               "[UpdateInfo]\r\n"
                               "# installed by the setup\r\n"
                               "database = 2020-01-01\r\n"
                               "main=2020-01-01\r\n"
                               "\r\n"
                               "[Zeta]\r\n"
                               "z=1\r\n";
    QTest::newRow("the key's line")
        << windows << "UpdateInfo/database"
        << QByteArray(windows).replace("database = 2020-01-01", "database = 2024-03-09");
    QTest::newRow("a key the section lacks")
        << windows << "UpdateInfo/other"
        << QByteArray(windows).replace("main=2020-01-01\r\n",
                                       "main=2020-01-01\r\nother=2024-03-09\r\n");
    QTest::newRow("a section the file lacks")
        << QByteArray("[Settings]\nlanguage=de") << "UpdateInfo/main"
        << QByteArray("[Settings]\nlanguage=de\n[UpdateInfo]\nmain=2024-03-09\n");
    QTest::newRow("no file") << QByteArray() << "UpdateInfo/main"
                             << QByteArray("[UpdateInfo]\nmain=2024-03-09\n");
    // Notepad's "Unicode" and "Unicode big endian": edited as text, written back as they came.
    const QString text = QString::fromUtf8(windows.mid(3)).replace("M\xfc", "M\u00fc");
    const QString changed = QString(text).replace("database = 2020-01-01", "database = 2024-03-09");
    for (const auto wide : {QStringConverter::Utf16LE, QStringConverter::Utf16BE})
        QTest::addRow("UTF-16 %s", wide == QStringConverter::Utf16LE ? "LE" : "BE")
            << utf16(text, wide) << "UpdateInfo/database" << utf16(changed, wide);
    // NUL bytes and no byte order mark: no text the updater can edit, so it is left alone.
    const QByteArray unreadable = QByteArray("[UpdateInfo]\nmain=\0\x01\x02\n", 19);
    QTest::newRow("not text") << unreadable << "UpdateInfo/main" << unreadable;
}

// Only the recorded line changes; the rest of the user's file stays byte for byte.
void TestSettings::recordVersionKeepsEveryOtherByte()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, key);
    QFETCH(QByteArray, after);
    Installation inst;
    if (!before.isEmpty())
        QVERIFY(inst.writeFile(QStringLiteral("config.ini"), before));
    inst.enter();
    const bool written = before == after;
    QCOMPARE(bool(Settings::recordVersion(key.toLatin1().constData(), QDate(2024, 3, 9))),
             !written);
    QCOMPARE(inst.readFile(QStringLiteral("config.ini")), after);
    const Settings::Installed installed = Settings::readInstalled();
    const QDate recorded = key.endsWith("main")    ? installed.main
                           : key.endsWith("other") ? installed.other
                                                   : installed.database;
    QCOMPARE(recorded, written ? QDate() : QDate(2024, 3, 9));
    QCOMPARE(inst.files(QString()), QStringList{"config.ini"});
}

void TestSettings::recordVersionKeepsLinkAndMode()
{
    // A linked file is replaced where it lies; the link, the mode and the owner stay.
#ifdef Q_OS_WIN
    QSKIP("symbolic links and POSIX modes");
#endif
    Installation inst;
    const QFileDevice::Permissions mode =
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup;
    QVERIFY(inst.writeFile(QStringLiteral("shared/config.ini"), "[UpdateInfo]\nmain=2001-01-01\n",
                           mode));
    QVERIFY(
        QFile::link(QStringLiteral("shared/config.ini"), inst.path(QStringLiteral("config.ini"))));
    inst.enter();
    QVERIFY(Settings::recordVersion(Settings::Key::main, QDate(2024, 3, 9)));
    QVERIFY(QFileInfo(inst.path(QStringLiteral("config.ini"))).isSymLink());
    QCOMPARE(inst.readFile(QStringLiteral("shared/config.ini")),
             QByteArray("[UpdateInfo]\nmain=2024-03-09\n"));
    QCOMPARE(QFile::permissions(inst.path(QStringLiteral("shared/config.ini"))) &
                 ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser),
             mode);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
