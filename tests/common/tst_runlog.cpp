#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "common/diagnostics/runlog.h"
#include "common/logging.h"

namespace {

QByteArray runOf(int n, int lines)
{
    QByteArray run = "=== 2026-01-0" + QByteArray::number(n) + " updater started\n";
    for (int i = 0; i < lines; ++i)
        run += "2026-01-01T00:00:00.000 debug kestrelix.update: run " + QByteArray::number(n) +
               " line " + QByteArray::number(i) + '\n';
    return run;
}

QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool write(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

} // namespace

class TestRunLog : public QObject
{
    Q_OBJECT

private slots:
    void trimKeepsNewestRuns_data();
    void trimKeepsNewestRuns();
    void linesReachTheFile();
};

void TestRunLog::trimKeepsNewestRuns_data()
{
    QTest::addColumn<QList<int>>("runLines");
    QTest::addColumn<int>("keepLast"); // 0: the file is under its bound

    QTest::newRow("under the bound: untouched") << QList<int>{10, 10, 10} << 0;
    QTest::newRow("over: oldest dropped") << QList<int>{40, 40, 40, 40, 40} << 2;
    QTest::newRow("one huge newest run stays") << QList<int>{5, 5, 400} << 1;
}

void TestRunLog::trimKeepsNewestRuns()
{
    QFETCH(QList<int>, runLines);
    QFETCH(int, keepLast);

    QTemporaryDir dir;
    const QString path = dir.filePath("update.log");
    QByteArray all;
    QByteArray expected;
    for (int i = 0; i < runLines.size(); ++i) {
        all += runOf(i + 1, runLines[i]);
        if (keepLast == 0 || i >= runLines.size() - keepLast)
            expected += runOf(i + 1, runLines[i]);
    }
    QVERIFY(write(path, all));
    // Room for the runs to keep in half the bound and not for one more of them; a newest run
    // larger than the bound is kept all the same.
    const qint64 bound = keepLast == 0   ? all.size()
                         : keepLast == 1 ? runOf(1, 5).size() * 2
                                         : 2 * expected.size() + 10;
    QVERIFY(RunLog::trim(path, bound));
    QCOMPARE(read(path), expected);
}

void TestRunLog::linesReachTheFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("update.log");
    QVERIFY(write(path, runOf(1, 3)));
    QVERIFY(RunLog::start(path, "updater started: -A 1"));
    qCDebug(lcUpdate) << "first line";
    qCInfo(lcApp).noquote() << "status:" << 0;

    // Read at once, without closing anything: each line is already in the file.
    const QList<QByteArray> lines = read(path).split('\n');
    QCOMPARE(lines.size(), 4 + 3 + 1);
    QVERIFY(lines[4].startsWith("=== "));
    QVERIFY(lines[4].endsWith("updater started: -A 1"));
    QVERIFY(lines[5].endsWith("debug kestrelix.update: first line"));
    QVERIFY(lines[6].endsWith("info kestrelix.app: status: 0"));
    QCOMPARE(lines[7], QByteArray());
}

QTEST_GUILESS_MAIN(TestRunLog)
#include "tst_runlog.moc"
