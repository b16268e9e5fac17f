#include <atomic>
#include <memory>
#include <sys/socket.h>

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMetaMethod>
#include <QPointer>
#include <QProcess>
#include <QSemaphore>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

#include "tests/support/databaseshapes.h"
#include "tests/support/installation.h"
#include "tests/support/messagecollector.h"
#include "tests/support/sqliteoracle.h"
#include "tests/support/testdatabase.h"
#include "tests/support/testserver.h"
#include "upload/client.h"

namespace {

const QString host = QStringLiteral("127.0.0.1");
const QStringList beforeAnswer = {"Connected to server", "Database is open", "Data sent"};
const QString unsentOwn =
    QStringLiteral("SELECT count(*) FROM rcmodels WHERE Own = 1 AND Flag = 0");

QByteArray documentOf(const QByteArray &frame)
{
    return qUncompress(frame.mid(8));
}

} // namespace

class TestClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void meta_object();
    void answers_data();
    void answers();
    void refusedConnection_data();
    void refusedConnection();
    void emptyHost();
    void lookupThatNeverAnswers();
    void modeWithoutUploadConnectsButSendsNothing();
    void missingDatabase();
    void databaseThatCanNotBeOpened();
    void markedModelsAreNotSentAgain();
    void damagedDatabaseSendsNothing();
    void charactersXmlCanNotCarry_data();
    void charactersXmlCanNotCarry();
    void roundTripWithUploadServer();

private:
    Installation *fixture = nullptr;
    MessageCollector *messages = nullptr;
};

void TestClient::initTestCase()
{
    QLoggingCategory::setFilterRules(QStringLiteral("kestrelix.*.debug=true"));
}

void TestClient::init()
{
    fixture = new Installation;
    QVERIFY(fixture->isValid());
    fixture->enter();
    QVERIFY(fixture->createDatabase(Shapes::tables() + Shapes::ownModelsToSend()));
    messages = new MessageCollector("kestrelix.upload");
}

void TestClient::cleanup()
{
    // No thread or connection misuse may show up as a warning on the way.
    const QStringList warnings = messages->warnings();
    delete messages;
    messages = nullptr;
    delete fixture;
    fixture = nullptr;
    QVERIFY2(warnings.isEmpty(), qPrintable(warnings.join('\n')));
}

void TestClient::meta_object()
{
    const QMetaObject &meta = Client::staticMetaObject;
    QCOMPARE(meta.className(), "Client");
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 2);
    const QMetaMethod makeUpdate = meta.method(meta.methodOffset());
    QCOMPARE(makeUpdate.methodSignature(), QByteArray("makeUpdate(QString,int)"));
    QCOMPARE(makeUpdate.parameterNames(), (QList<QByteArray>{"serverHost", "updateMode"}));
    QCOMPARE(makeUpdate.access(), QMetaMethod::Public);
    QCOMPARE(makeUpdate.methodType(), QMetaMethod::Slot);
    QCOMPARE(makeUpdate.returnMetaType(), QMetaType::fromType<bool>());
    const QMetaMethod sendDB = meta.method(meta.methodOffset() + 1);
    QCOMPARE(sendDB.methodSignature(), QByteArray("sendDB(int)"));
    QCOMPARE(sendDB.parameterNames(), QList<QByteArray>{"updateMode"});
    QCOMPARE(sendDB.access(), QMetaMethod::Private);
    QCOMPARE(sendDB.methodType(), QMetaMethod::Slot);
    QCOMPARE(sendDB.returnMetaType(), QMetaType::fromType<bool>());
}

void TestClient::answers_data()
{
    QTest::addColumn<int>("behaviour");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("answerWait");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QStringList>("lastLines");

    const int ordinary = Client::defaultAnswerTimeout;
    const QStringList wrong{"Wrong response"};
    const QStringList silent{"The server does not respond"};
    QTest::newRow("OK") << int(TestServer::Behaviour::Answer) << QByteArray("OK") << ordinary
                        << true << QStringList{"Response OK", "Update is successful"};
    QTest::newRow("OK and a line end")
        << int(TestServer::Behaviour::Answer) << QByteArray("OK\n") << ordinary << false << wrong;
    QTest::newRow("OK and more") << int(TestServer::Behaviour::Answer) << QByteArray("OKAY")
                                 << ordinary << false << wrong;
    QTest::newRow("lower case") << int(TestServer::Behaviour::Answer) << QByteArray("ok")
                                << ordinary << false << wrong;
    QTest::newRow("O, then K") << int(TestServer::Behaviour::Split) << QByteArray("OK") << ordinary
                               << false << wrong;
    // Closing ends the wait at once: the full 50 s wait would run past the test's deadline.
    QTest::newRow("closed without answer")
        << int(TestServer::Behaviour::Close) << QByteArray() << ordinary << false << silent;
    QTest::newRow("no answer in time")
        << int(TestServer::Behaviour::Silent) << QByteArray() << 300 << false << silent;
    QTest::newRow("very large answer") << int(TestServer::Behaviour::Answer)
                                       << QByteArray(8 << 20, 'O') << ordinary << false << wrong;
    QTest::newRow("answer dripped a byte a second")
        << int(TestServer::Behaviour::Drip) << QByteArray("OK") << ordinary << false << wrong;
    QTest::newRow("connection reset")
        << int(TestServer::Behaviour::Reset) << QByteArray() << ordinary << false << silent;
    QTest::newRow("accepts and never reads")
        << int(TestServer::Behaviour::NeverRead) << QByteArray() << 300 << false << silent;
}

void TestClient::answers()
{
    QFETCH(int, behaviour);
    QFETCH(QByteArray, answer);
    QFETCH(int, answerWait);
    QFETCH(bool, accepted);
    QFETCH(QStringList, lastLines);

    TestServer server;
    server.behaviour = TestServer::Behaviour(behaviour);
    server.answer = answer;
    QVERIFY(server.listen());

    bool finished = false;
    {
        Client client;
        client.setWaitTimes(Client::defaultConnectTimeout, answerWait);
        QCOMPARE(upload(client, host, 2, &finished), accepted);
        QVERIFY(finished);
    }
    QCOMPARE(messages->lines(), beforeAnswer + lastLines);

    QCOMPARE(sqliteText(fixture->path("rc.db"), unsentOwn),
             accepted ? QStringLiteral("0") : QStringLiteral("2"));
    if (server.behaviour == TestServer::Behaviour::NeverRead)
        return;

    // One frame, carrying the two own models that were not sent yet. A silent peer may read it
    // only after the client has given up waiting.
    QTRY_COMPARE(server.frames.size(), 1);
    const QByteArray frame = server.frames.first();
    QCOMPARE(frame.left(8).toLongLong(nullptr, 16), qint64(frame.size()));
    const QByteArray document = documentOf(frame);
    QVERIFY(document.startsWith("<?xml"));
    QCOMPARE(document.count("<model "), 2);
}

void TestClient::refusedConnection_data()
{
    QTest::addColumn<QString>("server");
    QTest::newRow("address") << host;
    // Looked up by the system's resolver; every address it gives refuses.
    QTest::newRow("name") << "localhost";
}

void TestClient::refusedConnection()
{
    QFETCH(QString, server);
    bool finished = false;
    Client client;
    QVERIFY(!upload(client, server, 3, &finished));
    QVERIFY(finished);
    QCOMPARE(messages->lines(), QStringList{"Can not connect to server \"Connection refused\""});
}

void TestClient::emptyHost()
{
    bool finished = false;
    Client client;
    QVERIFY(!upload(client, QString(), 3, &finished));
    QVERIFY(finished);
    const QStringList lines = messages->lines();
    QCOMPARE(lines.size(), 1);
    QVERIFY2(QRegularExpression("^Can not connect to server \"[^\"]+\"$")
                 .match(lines.first())
                 .hasMatch(),
             qPrintable(lines.first()));
}

// A resolver that never answers must not hold the update beyond the connect time: the upload
// gives up while the lookup is still waiting.
void TestClient::lookupThatNeverAnswers()
{
    auto gate = std::make_shared<QSemaphore>();
    auto asked = std::make_shared<std::atomic<bool>>(false);
    auto answered = std::make_shared<std::atomic<bool>>(false);
    Client client;
    client.setWaitTimes(300, Client::defaultAnswerTimeout);
    client.setHostLookup([gate, asked, answered](const QString &host) {
        *asked = host == QLatin1String("updates.example");
        gate->acquire();
        *answered = true;
        return Client::HostAddresses{{QHostAddress::LocalHost}, {}};
    });
    bool result = true;
    std::unique_ptr<QThread> worker(
        QThread::create([&] { result = client.makeUpdate("updates.example", 3); }));
    worker->start();
    // The bound only keeps a broken client from hanging the test.
    const bool ended = worker->wait(QDeadlineTimer(20000));
    const bool stillLookingUp = !*answered;
    gate->release();
    worker->wait();
    QTRY_VERIFY(*answered);

    QVERIFY(*asked);
    QVERIFY(ended);
    QVERIFY(stillLookingUp);
    QVERIFY(!result);
    QCOMPARE(messages->lines(), QStringList{"Can not connect to server \"Host lookup timed out\""});
}

void TestClient::modeWithoutUploadConnectsButSendsNothing()
{
    TestServer server;
    QVERIFY(server.listen());
    bool finished = false;
    Client client;
    QVERIFY(!upload(client, host, 0, &finished));
    QVERIFY(finished);
    QCOMPARE(messages->lines(),
             (QStringList{"Connected to server", "Database is open", "Wrong undateMode"}));
    QTRY_COMPARE(server.connections, 1);
    QTest::qWait(100);
    QVERIFY(server.pending.isEmpty());
}

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

QTEST_GUILESS_MAIN(TestClient)
#include "tst_client.moc"
