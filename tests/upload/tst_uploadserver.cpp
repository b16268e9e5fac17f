#include <memory>

#include <QDir>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "tests/support/installation.h"
#include "tools/upload-server/uploadstore.h"

namespace {

const QByteArray goodDocument = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rc>\n <rcmodels>\n"
                                "  <model Rcid=\"1\" Brand=\"A &amp; B\" Own=\"1\" Flag=\"0\"/>\n"
                                " </rcmodels>\n <rckeys>\n  <key Rcid=\"1\" Name=\"Power\"/>\n"
                                " </rckeys>\n <about company=\"c\" version=\"2.0\"/>\n</rc>\n";

// A well-formed document of exactly size bytes: models with short attributes, the last one
// padded to fit.
QByteArray documentOfSize(qsizetype size, int *models)
{
    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rc>\n <rcmodels>\n";
    const QByteArray tail =
        " </rcmodels>\n <rckeys/>\n <about company=\"c\" version=\"2.0\"/>\n</rc>\n";
    const QByteArray last = "  <model Rcid=\"0\" Documentation=\"\"/>\n";
    QByteArray body;
    *models = 1;
    for (;;) {
        const QByteArray line = "  <model Rcid=\"" + QByteArray::number(*models) + "\"/>\n";
        if (head.size() + body.size() + line.size() + last.size() + tail.size() > size)
            break;
        body += line;
        ++*models;
    }
    const qsizetype padding = size - head.size() - body.size() - last.size() - tail.size();
    return head + body + "  <model Rcid=\"0\" Documentation=\"" + QByteArray(padding, 'd') +
           "\"/>\n" + tail;
}

QByteArray bigEndian(quint32 value)
{
    QByteArray bytes(4, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray zlibStream(const QByteArray &document)
{
    return qCompress(document).mid(4);
}

// A frame around a block, with the length field stated right.
QByteArray frameOf(const QByteArray &block)
{
    return QByteArray::number(block.size() + 8, 16).toUpper().rightJustified(8, '0') + block;
}

QByteArray frameOf(quint32 statedSize, const QByteArray &stream)
{
    return frameOf(bigEndian(statedSize) + stream);
}

// upload-server started on a free port for one test.
class ServerProcess
{
public:
    explicit ServerProcess(const QStringList &extra)
    {
        process.setProgram(binaryPath("upload-server"));
        process.setArguments(QStringList{"--port", "0", "--store", store.path()} + extra);
        process.start();
    }
    ~ServerProcess()
    {
        process.kill();
        process.waitForFinished();
    }

    // Waits for the line that tells the port.
    quint16 port()
    {
        QDeadlineTimer deadline(10000);
        while (!output.contains('\n') && !deadline.hasExpired()) {
            process.waitForReadyRead(100);
            output += process.readAllStandardOutput();
        }
        const QRegularExpressionMatch match =
            QRegularExpression("listening on 127\\.0\\.0\\.1:(\\d+)")
                .match(QString::fromLatin1(output));
        return match.hasMatch() ? quint16(match.captured(1).toUInt()) : 0;
    }

    QString log()
    {
        errors += process.readAllStandardError();
        return QString::fromLocal8Bit(errors);
    }

    QStringList storedFiles() const { return QDir(store.path()).entryList({"upload-*"}); }

private:
    QTemporaryDir store;
    QProcess process;
    QByteArray output;
    QByteArray errors;
};

} // namespace

class TestUploadServer : public QObject
{
    Q_OBJECT

private slots:
    void refusesBadFrames_data();
    void refusesBadFrames();
    void answersOkAndLeavesTheConnectionOpen();
    void storesDocumentsOfAnySize_data();
    void storesDocumentsOfAnySize();
    void servesOthersWhileOneStalls();
    void answerOptions_data();
    void answerOptions();
    void storesValuesAsTheyArrived_data();
    void storesValuesAsTheyArrived();
};

void TestUploadServer::refusesBadFrames_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("closeAfterSending");
    QTest::addColumn<QString>("reason");

    const QByteArray stream = zlibStream(goodDocument);
    const quint32 size = quint32(goodDocument.size());
    const QByteArray good = frameOf(size, stream);

    QTest::newRow("lower-case length") << QByteArray("000000ff") + QByteArray(247, 'x') << false
                                       << "length field is not 8 upper-case hexadecimal digits";
    QTest::newRow("not a number") << QByteArray("12 45 78") << false
                                  << "length field is not 8 upper-case hexadecimal digits";
    QTest::newRow("shorter than its own header")
        << QByteArray("00000008") << false << "frame of 8 bytes is too short";
    QTest::newRow("over the frame limit")
        << QByteArray("00001001") << false << "frame of 4097 bytes is over the limit of 4096";
    QTest::newRow("sender closes early")
        << good.left(good.size() / 2) << true << "connection closed after";
    QTest::newRow("sender stalls") << good.left(good.size() / 2) << false << "read timeout after";
    QTest::newRow("bytes after the frame")
        << good + "X" << false << "1 bytes after the end of the frame";
    QTest::newRow("corrupt zlib stream")
        << frameOf(size, QByteArray(40, 'z')) << false << "zlib stream is corrupt";
    QTest::newRow("zlib stream cut short")
        << frameOf(size, stream.left(stream.size() - 6)) << false << "zlib stream is cut short";
    QTest::newRow("document longer than stated")
        << frameOf(size - 10, stream) << false << "zlib stream is longer than the stated";
    QTest::newRow("document shorter than stated")
        << frameOf(size + 10, stream) << false << "were stated";
    QTest::newRow("bytes after the zlib stream")
        << frameOf(size, stream + "AB") << false << "2 bytes after the end of the zlib stream";
    // A small frame may state a huge document; the stated size is refused before anything is
    // allocated for it.
    QTest::newRow("document over its limit")
        << frameOf(0xFFFFFFF0u, stream) << false << "is over the limit of 100000";
    QTest::newRow("not XML") << frameOf(qCompress("hello, world")) << false << "document:";
    QTest::newRow("another root") << frameOf(qCompress("<x/>")) << false
                                  << "root element is <x>, not <rc>";
    QTest::newRow("no about") << frameOf(qCompress("<rc><rcmodels/><rckeys/></rc>")) << false
                              << "no <about> element";
}

void TestUploadServer::refusesBadFrames()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, closeAfterSending);
    QFETCH(QString, reason);

    ServerProcess server(
        {"--max-frame", "4096", "--max-document", "100000", "--read-timeout", "500"});
    const quint16 port = server.port();
    QVERIFY(port != 0);

    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(socket.waitForConnected(5000));
    socket.write(bytes);
    QVERIFY(socket.waitForBytesWritten(5000));
    if (closeAfterSending) {
        socket.disconnectFromHost();
    } else {
        // Refused means: closed by the server, with nothing said.
        QVERIFY(socket.state() == QAbstractSocket::UnconnectedState ||
                socket.waitForDisconnected(10000));
        QCOMPARE(socket.readAll(), QByteArray());
    }
    const QRegularExpression refusal("refused: .*" + QRegularExpression::escape(reason));
    QTRY_VERIFY2(server.log().contains(refusal), qPrintable(server.log()));
    QVERIFY(server.storedFiles().isEmpty());
}

void TestUploadServer::answersOkAndLeavesTheConnectionOpen()
{
    ServerProcess server({});
    const quint16 port = server.port();
    QVERIFY(port != 0);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(socket.waitForConnected(5000));
    socket.write(frameOf(qCompress(goodDocument)));
    QVERIFY(socket.waitForReadyRead(10000));
    QCOMPARE(socket.readAll(), QByteArray("OK"));
    QVERIFY(!socket.waitForDisconnected(300));
    QCOMPARE(server.storedFiles().size(), 1);
    QVERIFY(server.storedFiles().first().endsWith(".db"));
    QTRY_VERIFY(server.log().contains("stored 1 models and 1 keys"));
}

void TestUploadServer::storesDocumentsOfAnySize_data()
{
    // The document is inflated into a buffer that starts at 64 KiB and grows as it fills.
    QTest::addColumn<qsizetype>("size");
    QTest::newRow("below the first buffer") << qsizetype(1000);
    QTest::newRow("exactly the first buffer") << qsizetype(65536);
    QTest::newRow("one byte past it") << qsizetype(65537);
    QTest::newRow("several times it") << qsizetype(1000003);
}

void TestUploadServer::storesDocumentsOfAnySize()
{
    QFETCH(qsizetype, size);
    int models = 0;
    const QByteArray document = documentOfSize(size, &models);
    QCOMPARE(document.size(), size);

    ServerProcess server({});
    const quint16 port = server.port();
    QVERIFY(port != 0);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(socket.waitForConnected(5000));
    socket.write(frameOf(qCompress(document)));
    QVERIFY2(socket.waitForReadyRead(20000), qPrintable(server.log()));
    QCOMPARE(socket.readAll(), QByteArray("OK"));
    QTRY_VERIFY2(server.log().contains(QStringLiteral("stored %1 models").arg(models)),
                 qPrintable(server.log()));
}

void TestUploadServer::servesOthersWhileOneStalls()
{
    ServerProcess server({"--read-timeout", "60000"});
    const quint16 port = server.port();
    QVERIFY(port != 0);
    QTcpSocket stalled;
    stalled.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(stalled.waitForConnected(5000));
    stalled.write("0000");
    QVERIFY(stalled.waitForBytesWritten(5000));

    QTcpSocket other;
    other.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(other.waitForConnected(5000));
    other.write(frameOf(qCompress(goodDocument)));
    QVERIFY(other.waitForReadyRead(10000));
    QCOMPARE(other.readAll(), QByteArray("OK"));
    QCOMPARE(stalled.state(), QAbstractSocket::ConnectedState);
}

void TestUploadServer::answerOptions_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QList<QByteArray>>("parts");
    QTest::addColumn<bool>("closed");

    QTest::newRow("another answer")
        << QStringList{"--answer-hex", "4F4B0A"} << QList<QByteArray>{"OK\n"} << false;
    QTest::newRow("in two parts") << QStringList{"--answer", "OK", "--split-answer", "500"}
                                  << QList<QByteArray>{"O", "K"} << false;
    QTest::newRow("close") << QStringList{"--close-without-answer"} << QList<QByteArray>{} << true;
    QTest::newRow("silent") << QStringList{"--no-answer"} << QList<QByteArray>{} << false;
}

void TestUploadServer::answerOptions()
{
    QFETCH(QStringList, options);
    QFETCH(QList<QByteArray>, parts);
    QFETCH(bool, closed);

    ServerProcess server(options);
    const quint16 port = server.port();
    QVERIFY(port != 0);
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    QVERIFY(socket.waitForConnected(5000));
    socket.write(frameOf(qCompress(goodDocument)));
    for (const QByteArray &part : parts) {
        QVERIFY(socket.waitForReadyRead(10000));
        QCOMPARE(socket.readAll(), part);
    }
    if (closed)
        QVERIFY(socket.waitForDisconnected(10000));
    else
        QVERIFY(!socket.waitForReadyRead(500));
    QCOMPARE(socket.readAll(), QByteArray());
    QCOMPARE(server.storedFiles().size(), 1);
}

namespace {

// Every row of a table, each value with its SQL type: nothing may arrive as NULL or as a number.
QStringList rowsOf(const QString &file, const QString &table)
{
    QStringList rows;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "stored");
        db.setDatabaseName(file);
        if (db.open()) {
            QSqlQuery query(db);
            query.exec("SELECT * FROM " + table);
            while (query.next()) {
                QStringList values;
                for (int i = 0; i < query.record().count(); ++i) {
                    values << query.value(i).toString();
                }
                rows << values.join('|');
            }
            QSqlQuery types(db);
            types.exec("SELECT count(*) FROM " + table + " WHERE typeof(Rcid) <> 'text'");
            if (types.next() && types.value(0).toInt() != 0)
                rows << "non-text Rcid";
        }
    }
    QSqlDatabase::removeDatabase("stored");
    return rows;
}

} // namespace

void TestUploadServer::storesValuesAsTheyArrived_data()
{
    QTest::addColumn<QByteArray>("elements");
    QTest::addColumn<QStringList>("models");
    QTest::addColumn<QStringList>("keys");

    QTest::newRow("in column order")
        << QByteArray("<rcmodels><model Rcid=\"7\" Brand=\"B\" Type=\"T\" Model=\"M\" "
                      "Documentation=\"D\" Link=\"7\" Author=\"A\" Correction=\"C\" Own=\"1\" "
                      "Hidden=\"0\" Flag=\"2\" Hidden1=\"0\" Prot=\"1\"/></rcmodels>"
                      "<rckeys><key Rcid=\"7\" RCTypeId=\"3\" Name=\"On\" ID=\"i\" "
                      "Nkey=\"12\"/></rckeys>")
        << QStringList{"7|B|T|M|D|7|A|C|1|0|2|0|1"} << QStringList{"7|3|On|i|12"};
    QTest::newRow("another order, missing and unknown attributes")
        << QByteArray("<rcmodels><model Prot=\"1\" Own=\"1\" Extra=\"x\" Rcid=\"9\"/>"
                      "<model/></rcmodels><rckeys><key Nkey=\"5\" Rcid=\"9\"/></rckeys>")
        << QStringList{"9||||||||1||||1", "||||||||||||"} << QStringList{"9||||5"};
    QTest::newRow("entities, quotes and characters beyond ASCII")
        << QByteArray("<rcmodels><model Rcid=\" 01\" Brand=\"A &amp; B&#x27;s &lt;TV&gt;\" "
                      "Model=\"T\xc3\xa9l\xc3\xa9 \xf0\x9f\x93\xba\" "
                      "Documentation=\"&#10;\"/></rcmodels><rckeys/>")
        << QStringList{QString::fromUtf8(
               " 01|A & B's <TV>||T\xc3\xa9l\xc3\xa9 \xf0\x9f\x93\xba|\n||||||||")}
        << QStringList{};
}

// What the server keeps is the text that arrived, value for value, whatever order the
// attributes came in.
void TestUploadServer::storesValuesAsTheyArrived()
{
    QFETCH(QByteArray, elements);
    QFETCH(QStringList, models);
    QFETCH(QStringList, keys);

    QTemporaryDir folder;
    const QByteArray document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rc>" + elements +
                                "<about company=\"c\" version=\"2.0\" contact=\"&amp;\"/></rc>";
    const UploadStore::Result result = UploadStore::store(document, folder.path(), "peer:1");
    QVERIFY2(result.ok, qPrintable(result.reason));
    QCOMPARE(result.models, int(models.size()));
    QCOMPARE(result.keys, int(keys.size()));
    QCOMPARE(rowsOf(result.file, "rcmodels"), models);
    QCOMPARE(rowsOf(result.file, "rckeys"), keys);
    const QStringList about = rowsOf(result.file, "about");
    QCOMPARE(about.size(), 1);
    QVERIFY2(about.first().startsWith("|||c||&|2.0|peer:1|20"), qPrintable(about.first()));
}

QTEST_GUILESS_MAIN(TestUploadServer)
#include "tst_uploadserver.moc"
