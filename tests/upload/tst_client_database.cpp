// What the upload takes from the database, and what it leaves there.

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>

#include "tests/support/testdatabase.h"
#include "tests/upload/tst_client.h"

void TestClient::missingDatabase()
{
    QVERIFY(QFile::remove(fixture->path("rc.db")));
    TestServer server;
    QVERIFY(server.listen());
    bool finished = false;
    Client client;
    QVERIFY(!upload(client, host, 3, &finished));
    QVERIFY(finished);
    QCOMPARE(messages->lines(), (QStringList{"Connected to server",
                                             "Can not find file: \"No such file or directory\""}));
    // Looking for it must not have made an empty one.
    QVERIFY(!QFile::exists(fixture->path("rc.db")));
}

void TestClient::databaseThatCanNotBeOpened()
{
    // A folder where the database should be: it exists, but the driver can not open it.
    QVERIFY(QFile::remove(fixture->path("rc.db")));
    QVERIFY(QDir().mkdir(fixture->path("rc.db")));
    TestServer server;
    QVERIFY(server.listen());
    bool finished = false;
    Client client;
    QVERIFY(!upload(client, host, 3, &finished));
    QVERIFY(finished);
    const QStringList lines = messages->lines();
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines.first(), QStringLiteral("Connected to server"));
    QVERIFY2(QRegularExpression("^\"[^\"]+\"$").match(lines.last()).hasMatch(),
             qPrintable(lines.last()));
    QVERIFY(server.frames.isEmpty());
}

void TestClient::markedModelsAreNotSentAgain()
{
    TestServer server;
    QVERIFY(server.listen());
    bool finished = false;
    // One client for both uploads, each from a worker thread of its own.
    Client client;
    QVERIFY(upload(client, host, 3, &finished));
    QVERIFY(finished);
    QCOMPARE(documentOf(server.frames.value(0)).count("<model "), 3);
    QCOMPARE(sqliteText(fixture->path("rc.db"), unsentOwn), QStringLiteral("0"));
    // Supplied models are never marked.
    QCOMPARE(sqliteText(fixture->path("rc.db"), "SELECT Flag FROM rcmodels WHERE Rcid = 4"),
             QStringLiteral("0"));

    messages->clear();
    QVERIFY(!upload(client, host, 2, &finished));
    QVERIFY(finished);
    QCOMPARE(messages->lines(),
             (QStringList{"Connected to server", "Database is open", "No data"}));
    QTRY_COMPARE(server.connections, 2);
    QCOMPARE(server.frames.size(), 1);
}

void TestClient::damagedDatabaseSendsNothing()
{
    // A cursor that stops at a damaged page is no end of the own models: a document without the
    // rest must not go out, or they would all be marked as sent.
    SampleData::DatabaseShape shape;
    shape.ownModels = 400;
    QVERIFY(fixture->writeDatabase("rc.db", shape));
    QVERIFY(damagePageHolding(fixture->path("rc.db"), "Own model 202"));
    TestServer server;
    QVERIFY(server.listen());
    bool finished = false;
    Client client;
    QVERIFY(!upload(client, host, 3, &finished));
    QVERIFY(finished);
    const QStringList lines = messages->lines();
    QVERIFY2(lines.last().startsWith("Can not read the own models:"), qPrintable(lines.last()));
    messages->clear();
    QTest::qWait(100);
    QVERIFY(server.frames.isEmpty());
}

void TestClient::charactersXmlCanNotCarry_data()
{
    QTest::addColumn<QString>("brand");
    QTest::addColumn<QString>("sent");
    const QString replaced = QString(QChar::ReplacementCharacter);
    QTest::newRow("U+0001") << "'A' || char(1) || 'B'"
                            << "A" + replaced + "B";
    QTest::newRow("NUL, U+000B, U+000C, U+001F")
        << "char(0) || 'x' || char(11, 12, 31)" << replaced + "x" + replaced + replaced + replaced;
    QTest::newRow("lone surrogate") << "'a' || char(55296) || 'b'"
                                    << "a" + replaced + "b";
    QTest::newRow("tab, line end, a pair and U+FFFD stay")
        << "char(9, 10, 13, 128512, 65533)" << QString::fromUcs4(U"\t\n\r\U0001F600\uFFFD");
}

// The document carries a replacement where XML has no way to say the character, so that the
// receiver takes it and the model is marked as sent; the user's text stays as it was.
void TestClient::charactersXmlCanNotCarry()
{
    QFETCH(QString, brand);
    QFETCH(QString, sent);
    QVERIFY(fixture->createDatabase(
        Shapes::tables() + Shapes::ownModelsToSend() +
        QStringList{"UPDATE rcmodels SET Brand = " + brand + " WHERE Rcid = 1"}));
    const QString storedBefore =
        sqliteText(fixture->path("rc.db"), "SELECT hex(Brand) FROM rcmodels WHERE Rcid = 1");
    TestServer server;
    QVERIFY(server.listen());
    bool finished = false;
    Client client;
    QVERIFY(upload(client, host, 2, &finished));
    QVERIFY(finished);
    QCOMPARE(sqliteText(fixture->path("rc.db"), unsentOwn), QStringLiteral("0"));
    QCOMPARE(sqliteText(fixture->path("rc.db"), "SELECT hex(Brand) FROM rcmodels WHERE Rcid = 1"),
             storedBefore);

    // Read by a parser that is not Qt's; the brands come back as JSON, free of the console's
    // encoding.
    QProcess python;
    python.start("python3",
                 {"-c", "import json, sys, xml.etree.ElementTree as E\n"
                        "root = E.fromstring(sys.stdin.buffer.read())\n"
                        "print(json.dumps([m.get('Brand') for m in root.iter('model')]))"});
    QVERIFY(python.waitForStarted());
    python.write(documentOf(server.frames.value(0)));
    python.closeWriteChannel();
    QVERIFY(python.waitForFinished());
    QVERIFY2(python.exitCode() == 0, python.readAllStandardError().constData());
    const QJsonArray brands = QJsonDocument::fromJson(python.readAllStandardOutput()).array();
    QCOMPARE(brands.size(), 2);
    QCOMPARE(brands.at(0).toString(), sent);
}

void TestClient::roundTripWithUploadServer()
{
    QTemporaryDir store;
    QVERIFY(fixture->setInstalled("Settings/company", "Fish & \"Chips\""));
    QProcess server;
    server.start(binaryPath("upload-server"), {"--store", store.path()});
    QVERIFY2(server.waitForStarted(), qPrintable(server.errorString()));
    QByteArray output;
    QTRY_VERIFY2((output += server.readAllStandardOutput()).contains("listening on 127.0.0.1:5678"),
                 server.readAllStandardError().constData());

    bool finished = false;
    {
        Client client;
        QVERIFY(upload(client, host, 3, &finished));
        QVERIFY(finished);
    }
    server.terminate();
    QVERIFY(server.waitForFinished());
    QCOMPARE(messages->lines(),
             (beforeAnswer + QStringList{"Response OK", "Update is successful"}));

    const QStringList files = QDir(store.path()).entryList({"upload-*.db"});
    QCOMPARE(files.size(), 1);
    QStringList stored;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "store");
        db.setDatabaseName(QDir(store.path()).filePath(files.first()));
        QVERIFY(db.open());
        QSqlQuery query(db);
        for (const char *statement :
             {"SELECT group_concat(Rcid) FROM (SELECT Rcid FROM rcmodels ORDER BY Rcid)",
              "SELECT count(*) FROM rckeys", "SELECT count(*) FROM rckeys WHERE Rcid = '100'",
              "SELECT company || '|' || version FROM about"}) {
            QVERIFY(query.exec(statement) && query.next());
            stored << query.value(0).toString();
        }
    }
    QSqlDatabase::removeDatabase("store");
    QCOMPARE(stored, (QStringList{"1,2,3", "8", "6", "Fish & \"Chips\"|2.0"}));
}
