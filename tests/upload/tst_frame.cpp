#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include "upload/client.h"
#include "upload/frame.h"
#include "upload/framedeflater.h"

namespace {

// Random bytes do not compress, so the compressed block's size follows the input's closely;
// this finds an input whose qCompress form has exactly the wanted size.
QByteArray documentCompressingTo(qsizetype blockSize)
{
    QRandomGenerator random(4711);
    for (qsizetype n = blockSize - 40; n < blockSize; ++n) {
        QByteArray data(n, Qt::Uninitialized);
        for (char &c : data)
            c = char(random.bounded(256));
        if (qCompress(data).size() == blockSize)
            return data;
    }
    return QByteArray();
}

#ifndef Q_OS_WIN
// Reads the frame with Python's zlib, not with our code: the length field as a hexadecimal
// number, the big-endian size, the stream, and that it is zlib's default level.
QString checkWithPython(const QByteArray &frame, const QByteArray &document)
{
    QTemporaryDir dir;
    QFile f(dir.filePath("frame")), d(dir.filePath("document"));
    if (!f.open(QIODevice::WriteOnly) || f.write(frame) != frame.size() ||
        !d.open(QIODevice::WriteOnly) || d.write(document) != document.size())
        return QStringLiteral("can not write the files");
    f.close();
    d.close();
    const char *script = R"(
import re, struct, sys, zlib
frame = open(sys.argv[1], 'rb').read()
document = open(sys.argv[2], 'rb').read()
assert re.fullmatch(rb'[0-9A-F]{8}', frame[:8]), frame[:8]
assert int(frame[:8], 16) == len(frame), (frame[:8], len(frame))
assert struct.unpack('>I', frame[8:12])[0] == len(document)
d = zlib.decompressobj()
assert d.decompress(frame[12:]) == document
assert d.eof and d.unused_data == b''
assert frame[12:] == zlib.compress(document), 'not the default level'
print('ok')
)";
    QProcess python;
    python.start(QStringLiteral("python3"),
                 {QStringLiteral("-c"), QString::fromLatin1(script), f.fileName(), d.fileName()});
    if (!python.waitForFinished(30000))
        return QStringLiteral("python3 did not run");
    const QString out = QString::fromLocal8Bit(python.readAllStandardOutput()).trimmed();
    return out == QLatin1String("ok") ? out
                                      : out + QString::fromLocal8Bit(python.readAllStandardError());
}
#endif

} // namespace

class TestFrame : public QObject
{
    Q_OBJECT

private slots:
    void lengthField_data();
    void lengthField();
    void framesReadBackIndependently_data();
    void framesReadBackIndependently();
};

void TestFrame::lengthField_data()
{
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QByteArray>("field");
    QTest::newRow("300-byte block") << qint64(308) << QByteArray("00000134");
    QTest::newRow("4 KiB frame") << qint64(4096) << QByteArray("00001000");
    QTest::newRow("upper-case digits") << qint64(0xABCDEF) << QByteArray("00ABCDEF");
    QTest::newRow("largest") << qint64(0xFFFFFFFF) << QByteArray("FFFFFFFF");
    // Nine digits would be cut to eight and state a wrong length.
    QTest::newRow("too large for eight digits") << qint64(0x100000000) << QByteArray();
}

void TestFrame::lengthField()
{
    QFETCH(qint64, total);
    QFETCH(QByteArray, field);
    QCOMPARE(Frame::lengthField(total), field);
}

void TestFrame::framesReadBackIndependently_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<QByteArray>("field");

    const QByteArray block300 = documentCompressingTo(300);
    const QByteArray block4088 = documentCompressingTo(4096 - 8);
    QVERIFY(!block300.isEmpty() && !block4088.isEmpty());
    QTest::newRow("300-byte block") << block300 << QByteArray("00000134");
    QTest::newRow("block 8 bytes short of 4 KiB") << block4088 << QByteArray("00001000");

    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rc>\n <rcmodels>\n";
    for (int i = 0; i < 2000; ++i)
        xml += "  <model Rcid=\"" + QByteArray::number(i) + "\" Brand=\"Acme &amp; Co\"/>\n";
    xml += " </rcmodels>\n <rckeys/>\n <about version=\"2.0\"/>\n</rc>\n";
    QTest::newRow("compressible document") << xml << QByteArray();
    QByteArray large;
    for (int i = 0; large.size() < (3 << 20); ++i)
        large += "  <key Rcid=\"" + QByteArray::number(i / 20) + "\" Name=\"Key " +
                 QByteArray::number(i * 7919 % 1000) + "\" ID=\"" +
                 QByteArray::number(qint64(i) * 2654435761LL % 100000007) + "\"/>\n";
    QTest::newRow("several MiB") << large << QByteArray();
}

void TestFrame::framesReadBackIndependently()
{
    QFETCH(QByteArray, document);
    QFETCH(QByteArray, field);

    const QByteArray frame = Client().makePacket(document);
    if (!field.isEmpty())
        QCOMPARE(frame.left(8), field);
    QCOMPARE(frame.mid(8), qCompress(document));
#ifndef Q_OS_WIN // no python3 under Wine
    QCOMPARE(checkWithPython(frame, document), QStringLiteral("ok"));
#endif

    // Compressed while it is written, in pieces of any size: the same bytes.
    for (const qsizetype piece :
         {qsizetype(7), qsizetype(4096), qsizetype(1 << 20), document.size()}) {
        FrameDeflater deflater;
        for (qsizetype at = 0; at < document.size(); at += piece)
            deflater.add(document.mid(at, piece));
        QVERIFY2(deflater.finish() == frame, qPrintable(QString::number(piece)));
    }
}

QTEST_GUILESS_MAIN(TestFrame)
#include "tst_frame.moc"
