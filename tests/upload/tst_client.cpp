#include "tests/upload/tst_client.h"

#include <atomic>
#include <memory>

#include <QDeadlineTimer>
#include <QMetaMethod>
#include <QSemaphore>
#include <QThread>

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

QTEST_GUILESS_MAIN(TestClient)
