#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryDir>
#include <QTest>

#include "database/databaselayout.h"
#include "database/keynumber.h"
#include "database/ownmodelmerge.h"
#include "tests/support/databaseshapes.h"
#include "tests/support/sqliteoracle.h"
#include "tests/support/testdatabase.h"
#include "tools/sampledata/sampledatabase.h"

namespace {

const QString ownSecond = QStringLiteral(
    "INSERT INTO rcmodels(Rcid,Brand,Type,Model,Documentation,Link,Author,Correction,Own,Hidden,"
    "Flag,Hidden1,Prot) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)");
const QString keySecond =
    QStringLiteral("INSERT INTO rckeys(Rcid,RCTypeId,Name,ID,Nkey) VALUES (?,?,?,?,?)");
const QString ownFirst = QStringLiteral(
    "INSERT INTO rcmodels(Rcid,Brand,Type,Model,Documentation,Link,Author,Correction,Own,Hidden,"
    "Flag,RCTypeId) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)");
const QString keyFirst = QStringLiteral("INSERT INTO rckeys(Rcid,PCB,Name,ID) VALUES (?,?,?,?)");

struct MergeResult
{
    bool ok = false;
    QList<int> progress;
    QString errorString;
};

MergeResult merge(const QString &current, const QString &target, bool copyOwnModels = true)
{
    TestDatabase cur(current);
    TestDatabase tgt(target);
    OwnModelMerge merge(cur.db(), tgt.db());
    QSignalSpy spy(&merge, &OwnModelMerge::progress);
    MergeResult result;
    result.ok = merge.run(copyOwnModels);
    result.errorString = merge.errorString();
    for (const QList<QVariant> &signal : spy) {
        if (signal.at(1).toInt() != 1000)
            qWarning() << "progress total" << signal.at(1);
        result.progress << signal.at(0).toInt();
    }
    return result;
}

// The bar rises through the merge's range to its end, and moves once for each of a few models.
bool risesThroughTheMerge(const QList<int> &progress, int models)
{
    if (progress.isEmpty() || progress.first() <= 300 || progress.last() != 700 ||
        progress.size() < qMin(models, 100))
        return false;
    for (qsizetype i = 1; i < progress.size(); ++i)
        if (progress.at(i) <= progress.at(i - 1))
            return false;
    return true;
}

QString textOf(const QVariant &value)
{
    return value.isNull() ? QStringLiteral("") : value.toString();
}

// The plain per-model order, one statement per model and key against the full tables: the
// judge of what the merge must produce.
bool referenceMerge(const QString &current, const QString &target)
{
    TestDatabase curFile(current);
    TestDatabase tgtFile(target);
    const QSqlDatabase cur = curFile.db();
    QSqlDatabase tgt = tgtFile.db();
    DatabaseLayout::addProtColumn(cur);
    const bool first = DatabaseLayout::generation(cur) == Generation::First;
    QSqlQuery models(cur);
    if (!models.exec(first
                         ? QStringLiteral("SELECT Rcid,Brand,Type,Model,Documentation,Link,Author,"
                                          "Correction,Own,Hidden,Flag,RCTypeId FROM rcmodels "
                                          "WHERE Own = 1")
                         : QStringLiteral("SELECT Rcid,Brand,Type,Model,Documentation,Link,Author,"
                                          "Correction,Own,Hidden,Flag,Hidden1,Prot FROM rcmodels "
                                          "WHERE Own = 1")))
        return false;
    tgt.transaction();
    while (models.next()) {
        const QString rcid = textOf(models.value(0));
        QSqlQuery q(tgt);
        q.prepare(QStringLiteral("DELETE FROM rcmodels WHERE Rcid = ?"));
        q.addBindValue(rcid);
        q.exec();
        q.prepare(QStringLiteral("DELETE FROM rckeys WHERE Rcid = ?"));
        q.addBindValue(rcid);
        q.exec();
        QString columns = QStringLiteral(
            "Rcid,Brand,Type,Model,Documentation,Link,Author,Correction,Own,Hidden,Flag");
        if (!first)
            columns += QStringLiteral(",Hidden1,Prot");
        const int n = first ? 11 : 13;
        q.prepare(QStringLiteral("INSERT INTO rcmodels(") + columns + QStringLiteral(") VALUES (") +
                  QStringLiteral("?,").repeated(n - 1) + QStringLiteral("?)"));
        for (int i = 0; i < n; ++i) {
            QString value = textOf(models.value(i));
            if (i >= 1 && i <= 4)
                value.remove(QLatin1Char('\''));
            q.addBindValue(value);
        }
        if (!q.exec())
            return false;
        QSqlQuery keys(cur);
        keys.prepare(first ? QStringLiteral("SELECT Rcid,PCB,Name,ID FROM rckeys WHERE Rcid = ?")
                           : QStringLiteral("SELECT Rcid,RCTypeId,Name,ID,Nkey FROM rckeys WHERE "
                                            "Rcid = ?"));
        keys.addBindValue(rcid);
        keys.exec();
        while (keys.next()) {
            const QString type = first ? textOf(models.value(11)) : textOf(keys.value(1));
            const QString nkey = first ? KeyNumber::fromPositionCode(type, textOf(keys.value(1)))
                                       : textOf(keys.value(4));
            q.prepare(keySecond);
            q.addBindValue(textOf(keys.value(0)));
            q.addBindValue(type);
            q.addBindValue(textOf(keys.value(2)).remove(QLatin1Char('\'')));
            q.addBindValue(textOf(keys.value(3)));
            q.addBindValue(nkey);
            if (!q.exec())
                return false;
        }
    }
    return tgt.commit();
}

bool copyFile(const QString &from, const QString &to)
{
    QFile::remove(to);
    return QFile::copy(from, to);
}

QStringList schemaOf(const QString &path)
{
    return sqliteRows(path, QStringLiteral("SELECT sql FROM sqlite_master ORDER BY name"));
}

} // namespace

class TestOwnModelMerge : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void keyNumber_data();
    void keyNumber();
    void type5PositionsNameEachKeyOnce();
    void secondGeneration();
    void firstGeneration();
    void duplicatedOwnRcids();
    void samePerModelResult_data();
    void samePerModelResult();
    void rcidsThatOnlyCompareEqual_data();
    void rcidsThatOnlyCompareEqual();
    void withoutCopy();
    void noOwnModels();
    void progressSteps_data();
    void progressSteps();
    void migrationOnlyOnce();
    void failingStatementLeavesNoHalfMerge();
    void missingColumnFails();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // rcidType replaces the Rcid columns' declared type.
    void makeRelease(const QString &file, const QString &rcidType = QStringLiteral("INTEGER"));

    std::unique_ptr<QTemporaryDir> m_dir;
};

void TestOwnModelMerge::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
}

// A release with a supplied model 5 and its key set 5, and a model 6 using key set 5. Hidden1
// defaults to 7 so that a test can tell a default from a copied value.
void TestOwnModelMerge::makeRelease(const QString &file, const QString &rcidType)
{
    TestDatabase db(file);
    QVERIFY(db.exec(TableLayout::createModels(Generation::Second)
                        .replace("Rcid INTEGER", "Rcid " + rcidType)
                        .replace("Hidden1 INTEGER DEFAULT 0", "Hidden1 INTEGER DEFAULT 7")));
    QVERIFY(db.exec(
        TableLayout::createKeys(Generation::Second).replace("Rcid INTEGER", "Rcid " + rcidType)));
    QVERIFY(db.exec(ownSecond, {5, "Shipped", "TV", "S5", "Doc", 5, "Maker", "", 0, 1, 0, 3, 0}));
    QVERIFY(db.exec(ownSecond, {6, "Shipped", "TV", "S6", "Doc", 5, "Maker", "", 0, 0, 0, 3, 0}));
    QVERIFY(db.exec(keySecond, {5, 2, "Power", "A1", 1}));
    QVERIFY(db.exec(keySecond, {5, 2, "Mute", "A2", 2}));
    QVERIFY(db.exec(keySecond, {9, 3, "Other", "B1", 1}));
}

void TestOwnModelMerge::keyNumber_data()
{
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("pcb");
    QTest::addColumn<QString>("nkey");
    QTest::newRow("type 2, 0.05") << "2"
                                  << "0.05"
                                  << "5";
    QTest::newRow("type 2, 1.12") << "2"
                                  << "1.12"
                                  << "68";
    QTest::newRow("type 3, 2.07") << "3"
                                  << "2.07"
                                  << "119";
    QTest::newRow("type 4, 9.99") << "4"
                                  << "9.99"
                                  << "603";
    QTest::newRow("type 1, separator never read") << "1"
                                                  << "1x10"
                                                  << "66";
    QTest::newRow("type 5, 0.52") << "5"
                                  << "0.52"
                                  << "1";
    QTest::newRow("type 5, 0.00") << "5"
                                  << "0.00"
                                  << "0";
    QTest::newRow("type 5, 1.10") << "5"
                                  << "1.10"
                                  << "63";
    QTest::newRow("type 5, 2.14") << "5"
                                  << "2.14"
                                  << "128";
    QTest::newRow("type 5, 1.63") << "5"
                                  << "1.63"
                                  << "43";
    QTest::newRow("type 5, position 64") << "5"
                                         << "1.64"
                                         << "0";
    QTest::newRow("type 5, position 99") << "5"
                                         << "0.99"
                                         << "0";
    QTest::newRow("type 5, position -9") << "5"
                                         << "3.-9"
                                         << "0";
    QTest::newRow("type 6") << "6"
                            << "1.12"
                            << "";
    QTest::newRow("type 7") << "7"
                            << "0.52"
                            << "";
    QTest::newRow("type not a number counts as 0") << ""
                                                   << "1.12"
                                                   << "68";
    QTest::newRow("code not a number counts as 0") << "2"
                                                   << "x.yz"
                                                   << "0";
    QTest::newRow("short code") << "2"
                                << "3"
                                << "168";
    QTest::newRow("NUL in the position counts as 0") << "2" << QString("1.1") + QChar(0) + "2"
                                                     << "56";
}

void TestOwnModelMerge::keyNumber()
{
    QFETCH(QString, type);
    QFETCH(QString, pcb);
    QFETCH(QString, nkey);
    const QString result = KeyNumber::fromPositionCode(type, pcb);
    QCOMPARE(result, nkey);
    QVERIFY(!result.isNull());
}

void TestOwnModelMerge::type5PositionsNameEachKeyOnce()
{
    QList<int> keys;
    for (int position = 0; position < 64; ++position) {
        const int key =
            KeyNumber::fromPositionCode(
                QStringLiteral("5"), QStringLiteral("0.%1").arg(position, 2, 10, QLatin1Char('0')))
                .toInt();
        if (key != 0)
            keys << key;
    }
    std::sort(keys.begin(), keys.end());
    QList<int> expected;
    for (int i = 1; i <= 42; ++i)
        expected << i;
    QCOMPARE(keys, expected);
}

void TestOwnModelMerge::secondGeneration()
{
    const QString cur = path(QStringLiteral("cur.db"));
    const QString rel = path(QStringLiteral("new.db"));
    makeRelease(rel);
    {
        TestDatabase db(cur);
        QVERIFY(db.exec(TableLayout::createModels(Generation::Second)));
        QVERIFY(db.exec(TableLayout::createKeys(Generation::Second)));
        // Own model 5 replaces the shipped model 5 and the shipped keys filed under 5.
        QVERIFY(db.exec(ownSecond, {5, "Joe's", "T'V", "M'1", "D'oc", "L'ink", "O'Neil", "it's", 1,
                                    1, 0, 4, 1}));
        QVERIFY(db.exec(ownSecond, {100, QVariant(), QVariant(), "M2", QVariant(), 100, QVariant(),
                                    QVariant(), 1, 0, 1, QVariant(), 0}));
        QVERIFY(db.exec(ownSecond, {7, "Supplied", "TV", "S7", "", 5, "", "", 0, 0, 0, 0, 0}));
        QVERIFY(db.exec(keySecond, {5, 2, "Ch'1", "I'D", 11}));
        QVERIFY(db.exec(keySecond, {7, 2, "Not own", "X", 1}));
        QVERIFY(db.exec(keySecond, {100, 4, "Zeta", QVariant(), QVariant()}));
        QVERIFY(db.exec(keySecond, {5, 3, "Second", "ID2", 12}));
    }
    const MergeResult result = merge(cur, rel);
    QVERIFY(result.ok);
    QVERIFY(risesThroughTheMerge(result.progress, 2));

    QCOMPARE(sqliteRows(rel, QStringLiteral("SELECT * FROM rcmodels")),
             (QStringList{
                 "6|Shipped|TV|S6|Doc|5|Maker||0|0|0|3|0",
                 "5|Joes|TV|M1|Doc|L'ink|O'Neil|it's|1|1|0|4|1",
                 "100|||M2||100|||1|0|1||0",
             }));
    QCOMPARE(sqliteRows(rel, QStringLiteral("SELECT *, typeof(ID), typeof(Nkey) FROM rckeys")),
             (QStringList{
                 "9|3|Other|B1|1|text|integer",
                 "5|2|Ch1|I'D|11|text|integer",
                 "5|3|Second|ID2|12|text|integer",
                 "100|4|Zeta|||text|text",
             }));
    // A NULL read is written as '', never as NULL.
    QCOMPARE(sqliteRows(rel, QStringLiteral("SELECT count(*) FROM rcmodels WHERE Rcid = 100 AND "
                                            "Brand IS NOT NULL AND Hidden1 = ''")),
             QStringList{"1"});
}

void TestOwnModelMerge::firstGeneration()
{
    const QString cur = path(QStringLiteral("cur.db"));
    const QString rel = path(QStringLiteral("new.db"));
    makeRelease(rel);
    {
        TestDatabase db(cur);
        QVERIFY(db.exec(TableLayout::createModels(Generation::First)));
        QVERIFY(db.exec(TableLayout::createKeys(Generation::First)));
        QVERIFY(db.exec(ownFirst, {20, "B", "TV", "Two", "", 20, "", "", 1, 1, 0, 2}));
        QVERIFY(db.exec(ownFirst, {21, "B", "TV", "Five", "", 21, "", "", 1, 0, 0, 5}));
        QVERIFY(db.exec(ownFirst, {22, "B", "TV", "Seven", "", 22, "", "", 1, 0, 1, 7}));
        QVERIFY(db.exec(keyFirst, {20, "0.05", "K1", "a"}));
        QVERIFY(db.exec(keyFirst, {20, "1.12", "K2", "b"}));
        QVERIFY(db.exec(keyFirst, {21, "0.52", "K1", "c"}));
        QVERIFY(db.exec(keyFirst, {21, "0.00", "K2", "d"}));
        QVERIFY(db.exec(keyFirst, {21, "1.10", "K'3", "e"}));
        QVERIFY(db.exec(keyFirst, {21, "0.99", "K4", "f"}));
        QVERIFY(db.exec(keyFirst, {22, "1.12", "K1", "g"}));
    }
    QVERIFY(merge(cur, rel).ok);

    // Hidden1 and Prot take the release's defaults (7 and 0).
    QCOMPARE(sqliteRows(rel, QStringLiteral("SELECT * FROM rcmodels WHERE Own = 1")),
             (QStringList{"20|B|TV|Two||20|||1|1|0|7|0", "21|B|TV|Five||21|||1|0|0|7|0",
                          "22|B|TV|Seven||22|||1|0|1|7|0"}));
    QCOMPARE(sqliteRows(rel, QStringLiteral("SELECT Rcid, RCTypeId, Name, ID, Nkey FROM rckeys "
                                            "WHERE Rcid >= 20")),
             (QStringList{"20|2|K1|a|5", "20|2|K2|b|68", "21|5|K1|c|1", "21|5|K2|d|0",
                          "21|5|K3|e|63", "21|5|K4|f|0", "22|7|K1|g|"}));
    // The user's file gained Prot behind RCTypeId and kept everything else.
    QCOMPARE(sqliteRows(cur, QStringLiteral("SELECT group_concat(name) FROM "
                                            "pragma_table_info('rcmodels')")),
             QStringList{"Rcid,Brand,Type,Model,Documentation,Link,Author,Correction,Own,Hidden,"
                         "Flag,RCTypeId,Prot"});
    QCOMPARE(sqliteRows(cur, QStringLiteral("SELECT count(*) FROM rckeys")), QStringList{"7"});
}

void TestOwnModelMerge::duplicatedOwnRcids()
{
    const QString cur = path(QStringLiteral("cur.db"));
    const QString rel = path(QStringLiteral("new.db"));
    makeRelease(rel);
    {
        TestDatabase db(cur);
        QVERIFY(db.exec(TableLayout::createModels(Generation::Second)));
        QVERIFY(db.exec(TableLayout::createKeys(Generation::Second)));
        QVERIFY(db.exec(ownSecond, {5, "First", "TV", "A", "", 5, "", "", 1, 0, 0, 0, 0}));
        QVERIFY(db.exec(ownSecond, {8, "Other", "TV", "B", "", 8, "", "", 1, 0, 0, 0, 0}));
        QVERIFY(db.exec(ownSecond, {5, "Last", "TV", "C", "", 5, "", "", 1, 0, 0, 0, 0}));
        QVERIFY(db.exec(keySecond, {5, 2, "K1", "a", 1}));
        QVERIFY(db.exec(keySecond, {8, 2, "K2", "b", 2}));
        QVERIFY(db.exec(keySecond, {5, 2, "K3", "c", 3}));
    }
    const MergeResult result = merge(cur, rel);
    QVERIFY(result.ok);
    QVERIFY(risesThroughTheMerge(result.progress, 3));
    // The later model with the same Rcid wins; its keys arrive once.
    QCOMPARE(sqliteRows(rel, QStringLiteral("SELECT Rcid, Brand FROM rcmodels")),
             (QStringList{"6|Shipped", "8|Other", "5|Last"}));
    QCOMPARE(sqliteRows(rel, QStringLiteral("SELECT Rcid, Name FROM rckeys")),
             (QStringList{"9|Other", "8|K2", "5|K1", "5|K3"}));
}

void TestOwnModelMerge::samePerModelResult_data()
{
    QTest::addColumn<int>("layout");
    QTest::addColumn<bool>("withProt");
    QTest::addColumn<qint64>("ownFirstRcid");
    QTest::addColumn<int>("duplicates");
    // Text encodings of the user's file and of the release; the reference merges UTF-8 files.
    QTest::addColumn<QString>("currentEncoding");
    QTest::addColumn<QString>("releaseEncoding");
    const QString utf8 = QStringLiteral("UTF-8");
    QTest::newRow("second generation, own Rcids replace shipped ones")
        << int(Generation::Second) << true << qint64(1) << 6 << utf8 << utf8;
    QTest::newRow("second generation without Prot, own Rcids of their own")
        << int(Generation::Second) << false << qint64(50000) << 3 << utf8 << utf8;
    QTest::newRow("first generation, own Rcids replace shipped ones")
        << int(Generation::First) << false << qint64(1) << 6 << utf8 << utf8;
    QTest::newRow("first generation, no duplicates")
        << int(Generation::First) << false << qint64(90) << 0 << utf8 << utf8;
    QTest::newRow("second generation, user's file in UTF-16")
        << int(Generation::Second) << false << qint64(1) << 6 << "UTF-16le" << utf8;
    QTest::newRow("second generation, release in UTF-16")
        << int(Generation::Second) << true << qint64(1) << 6 << utf8 << "UTF-16be";
    QTest::newRow("first generation, user's file in UTF-16")
        << int(Generation::First) << false << qint64(1) << 6 << "UTF-16be" << utf8;
    QTest::newRow("both in UTF-16")
        << int(Generation::Second) << true << qint64(1) << 6 << "UTF-16le"
        << "UTF-16le";
}

void TestOwnModelMerge::samePerModelResult()
{
    QFETCH(int, layout);
    QFETCH(bool, withProt);
    QFETCH(qint64, ownFirstRcid);
    QFETCH(int, duplicates);
    QFETCH(QString, currentEncoding);
    QFETCH(QString, releaseEncoding);

    SampleData::DatabaseShape current;
    current.layout = Generation(layout);
    current.withProt = withProt;
    current.suppliedModels = 300;
    current.keySets = 120;
    current.keysPerSet = 4;
    current.firstRcid = 1000;
    current.ownModels = 40;
    current.keysPerOwnModel = 3;
    current.ownFirstRcid = ownFirstRcid;
    current.duplicatedOwnRcids = duplicates;
    current.withNulls = true;
    current.withQuotes = true;
    const SampleData::DatabaseShape release = Shapes::release(200, 100, 4);
    SampleData::DatabaseWriter writer;
    QVERIFY2(writer.write(path(QStringLiteral("cur.db")), current),
             qPrintable(writer.errorString()));
    QVERIFY2(writer.write(path(QStringLiteral("new.db")), release),
             qPrintable(writer.errorString()));
    QVERIFY(copyFile(path(QStringLiteral("cur.db")), path(QStringLiteral("cur-ref.db"))));
    QVERIFY(copyFile(path(QStringLiteral("new.db")), path(QStringLiteral("new-ref.db"))));
    if (currentEncoding != QLatin1String("UTF-8"))
        QVERIFY(convertEncoding(path(QStringLiteral("cur.db")), currentEncoding));
    if (releaseEncoding != QLatin1String("UTF-8"))
        QVERIFY(convertEncoding(path(QStringLiteral("new.db")), releaseEncoding));

    QVERIFY(referenceMerge(path(QStringLiteral("cur-ref.db")), path(QStringLiteral("new-ref.db"))));
    const MergeResult result =
        merge(path(QStringLiteral("cur.db")), path(QStringLiteral("new.db")));
    QVERIFY(result.ok);
    QVERIFY(risesThroughTheMerge(result.progress, 40));

    const QStringList expected = dumpTables(path(QStringLiteral("new-ref.db")));
    QVERIFY(expected.size() > 500);
    QCOMPARE(dumpTables(path(QStringLiteral("new.db"))), expected);
    QCOMPARE(dumpTables(path(QStringLiteral("cur.db"))),
             dumpTables(path(QStringLiteral("cur-ref.db"))));
    QCOMPARE(schemaOf(path(QStringLiteral("new.db"))),
             schemaOf(path(QStringLiteral("new-ref.db"))));
    // The user's file is only read, and no scratch copy of it is left.
    QCOMPARE(sqliteRows(path(QStringLiteral("cur.db")), QStringLiteral("PRAGMA encoding")),
             QStringList{currentEncoding});
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files),
             (QStringList{"cur-ref.db", "cur.db", "new-ref.db", "new.db"}));
}

void TestOwnModelMerge::rcidsThatOnlyCompareEqual_data()
{
    QTest::addColumn<QString>("idType");
    QTest::addColumn<QVariant>("id");
    QTest::addColumn<QString>("idRead");
    QTest::addColumn<QString>("currentCollation");
    QTest::addColumn<QString>("releaseCollation");
    const QString none;
    const QString nocase = QStringLiteral(" COLLATE NOCASE");
    QTest::newRow("keys moved in SQL") << "TEXT" << QVariant(7) << "7" << none << none;
    // A real reads through Qt as 0.30000000000000004 and through SQL as 0.3: such keys move
    // row by row.
    QTest::newRow("keys moved row by row")
        << "REAL" << QVariant(0.1 + 0.2) << "0.30000000000000004" << none << none;
    // 'x' and 'X' are one Rcid wherever a file says so.
    QTest::newRow("NOCASE in both, keys moved in SQL")
        << "TEXT" << QVariant(7) << "7" << nocase << nocase;
    QTest::newRow("NOCASE in both, keys moved row by row")
        << "REAL" << QVariant(0.1 + 0.2) << "0.30000000000000004" << nocase << nocase;
    QTest::newRow("NOCASE in the user's file") << "TEXT" << QVariant(7) << "7" << nocase << none;
    QTest::newRow("NOCASE in the release") << "TEXT" << QVariant(7) << "7" << none << nocase;
    QTest::newRow("RTRIM in both") << "TEXT" << QVariant(7) << "7"
                                   << " COLLATE RTRIM"
                                   << " COLLATE RTRIM";
}

// Text Rcids in the user's file that differ as text but meet as numbers in the release: the
// merge must remove exactly what the per-model deletes would.
void TestOwnModelMerge::rcidsThatOnlyCompareEqual()
{
    QFETCH(QString, idType);
    QFETCH(QVariant, id);
    QFETCH(QString, idRead);
    QFETCH(QString, currentCollation);
    QFETCH(QString, releaseCollation);
    const QString nocase = QStringLiteral(" COLLATE NOCASE");
    const QString cur = path(QStringLiteral("cur.db"));
    const QString rel = path(QStringLiteral("new.db"));
    makeRelease(rel, "INTEGER" + releaseCollation);
    {
        TestDatabase db(cur);
        const QString rcid = "Rcid TEXT" + currentCollation;
        QVERIFY(
            db.exec(TableLayout::createModels(Generation::Second).replace("Rcid INTEGER", rcid)));
        QVERIFY(db.exec(TableLayout::createKeys(Generation::Second)
                            .replace("Rcid INTEGER", rcid)
                            .replace("ID TEXT", "ID " + idType)));
        QVERIFY(db.exec(ownSecond, {"05", "A", "TV", "A", "", 5, "", "", 1, 0, 0, 0, 0}));
        QVERIFY(db.exec(ownSecond, {"5", "B", "TV", "B", "", 5, "", "", 1, 0, 0, 0, 0}));
        QVERIFY(db.exec(ownSecond, {"6.0", "C", "TV", "C", "", 5, "", "", 1, 0, 0, 0, 0}));
        QVERIFY(db.exec(ownSecond, {"x", "D", "TV", "D", "", 5, "", "", 1, 0, 0, 0, 0}));
        QVERIFY(db.exec(ownSecond, {"X", "E", "TV", "E", "", 5, "", "", 1, 0, 0, 0, 0}));
        QVERIFY(db.exec(ownSecond, {"y ", "F", "TV", "F", "", 5, "", "", 1, 0, 0, 0, 0}));
        QVERIFY(db.exec(keySecond, {"05", 2, "K05", "a", 1}));
        QVERIFY(db.exec(keySecond, {"5", 2, "K5", "b", 2}));
        QVERIFY(db.exec(keySecond, {"6.0", 2, "K6", "c", 3}));
        QVERIFY(db.exec(keySecond, {"x", 2, "Kx", "d", 4}));
        QVERIFY(db.exec(keySecond, {"x", 2, "K'y", id, 8}));
        QVERIFY(db.exec(keySecond, {"X", 2, "KX", "e", 9}));
        QVERIFY(db.exec(keySecond, {"y", 2, "Ky", "f", 10}));
    }
    QVERIFY(copyFile(cur, path(QStringLiteral("cur-ref.db"))));
    QVERIFY(copyFile(rel, path(QStringLiteral("new-ref.db"))));
    QVERIFY(referenceMerge(path(QStringLiteral("cur-ref.db")), path(QStringLiteral("new-ref.db"))));
    QVERIFY(merge(cur, rel).ok);
    const QStringList expected = dumpTables(path(QStringLiteral("new-ref.db")));
    QCOMPARE(dumpTables(rel), expected);
    // "5" removed what "05" had brought; "6.0" replaced the shipped model 6.
    QVERIFY(expected.contains("M|integer|5|B|TV|B||5|||1|0|0|0|0"));
    QVERIFY(!expected.join('\n').contains("|A|TV|A|"));
    QVERIFY(!expected.join('\n').contains("S6"));
    // The later 'X' removes the model 'x' only where the release compares without case, and
    // with it the keys filed under 'x' unless the user's file brings them back.
    QCOMPARE(expected.join('\n').contains("|D|TV|D|"), releaseCollation != nocase);
    QCOMPARE(expected.contains("K|text|x|2|Ky|" + idRead + "|8"),
             releaseCollation != nocase || currentCollation == nocase);
}

void TestOwnModelMerge::withoutCopy()
{
    SampleData::DatabaseShape current;
    current.ownModels = 4;
    current.ownFirstRcid = 1;
    QVERIFY(SampleData::DatabaseWriter().write(path(QStringLiteral("cur.db")), current));
    QVERIFY(SampleData::DatabaseWriter().write(path(QStringLiteral("new.db")), Shapes::release()));
    const QStringList before = dumpTables(path(QStringLiteral("new.db")));

    const MergeResult result =
        merge(path(QStringLiteral("cur.db")), path(QStringLiteral("new.db")), false);
    QVERIFY(result.ok);
    QCOMPARE(result.progress, (QList<int>{400, 500, 600, 700}));
    QCOMPARE(dumpTables(path(QStringLiteral("new.db"))), before);
}

void TestOwnModelMerge::noOwnModels()
{
    SampleData::DatabaseShape current;
    current.withProt = false;
    QVERIFY(SampleData::DatabaseWriter().write(path(QStringLiteral("cur.db")), current));
    QVERIFY(SampleData::DatabaseWriter().write(path(QStringLiteral("new.db")), Shapes::release()));
    const QStringList before = dumpTables(path(QStringLiteral("new.db")));

    const MergeResult result =
        merge(path(QStringLiteral("cur.db")), path(QStringLiteral("new.db")));
    QVERIFY(result.ok);
    QVERIFY(result.progress.isEmpty());
    QCOMPARE(dumpTables(path(QStringLiteral("new.db"))), before);
    // Migrated all the same.
    QCOMPARE(sqliteRows(path(QStringLiteral("cur.db")),
                        QStringLiteral("SELECT count(*) FROM pragma_table_info('rcmodels') WHERE "
                                       "name = 'Prot'")),
             QStringList{"1"});
}

void TestOwnModelMerge::progressSteps_data()
{
    QTest::addColumn<QStringList>("rcids");
    QTest::addColumn<QList<int>>("progress");
    QTest::newRow("one") << QStringList{"1"} << QList<int>{700};
    QTest::newRow("three") << QStringList{"1", "2", "3"} << QList<int>{433, 566, 700};
    QTest::newRow("seven") << QStringList{"1", "2", "3", "4", "5", "6", "7"}
                           << QList<int>{357, 414, 471, 528, 585, 642, 700};
    // count(Rcid) skips NULL Rcids: a count of 0 while rows come back must not divide by zero.
    QTest::newRow("count of zero") << QStringList{"", ""} << QList<int>{500, 700};
}

void TestOwnModelMerge::progressSteps()
{
    QFETCH(QStringList, rcids);
    QFETCH(QList<int>, progress);
    makeRelease(path(QStringLiteral("new.db")));
    {
        TestDatabase db(path(QStringLiteral("cur.db")));
        QVERIFY(db.exec(TableLayout::createModels(Generation::Second)));
        QVERIFY(db.exec(TableLayout::createKeys(Generation::Second)));
        for (const QString &rcid : rcids)
            QVERIFY(db.exec(ownSecond, {rcid.isEmpty() ? QVariant() : QVariant(rcid), "B", "T", "M",
                                        "", 1, "", "", 1, 0, 0, 0, 0}));
    }
    // Only counted through, the models move the bar one step each; copied, the bar moves through
    // all the work as well.
    const MergeResult counted =
        merge(path(QStringLiteral("cur.db")), path(QStringLiteral("new.db")), false);
    QVERIFY(counted.ok);
    QCOMPARE(counted.progress, progress);
    const MergeResult copied =
        merge(path(QStringLiteral("cur.db")), path(QStringLiteral("new.db")));
    QVERIFY(copied.ok);
    QVERIFY(risesThroughTheMerge(copied.progress, int(rcids.size())));
}

void TestOwnModelMerge::migrationOnlyOnce()
{
    SampleData::DatabaseShape current;
    current.withProt = false;
    current.ownModels = 2;
    QVERIFY(SampleData::DatabaseWriter().write(path(QStringLiteral("cur.db")), current));
    QVERIFY(SampleData::DatabaseWriter().write(path(QStringLiteral("new.db")), Shapes::release()));
    QVERIFY(merge(path(QStringLiteral("cur.db")), path(QStringLiteral("new.db"))).ok);
    const QStringList migrated = schemaOf(path(QStringLiteral("cur.db")));
    QVERIFY(migrated.join(' ').contains("Prot INTEGER  NOT NULL  DEFAULT (0)"));

    QVERIFY(SampleData::DatabaseWriter().write(path(QStringLiteral("new.db")), Shapes::release()));
    QVERIFY(merge(path(QStringLiteral("cur.db")), path(QStringLiteral("new.db"))).ok);
    QCOMPARE(schemaOf(path(QStringLiteral("cur.db"))), migrated);
}

// The release refuses the second own model only after the deletes have run: all of it must be
// rolled back, and the transaction must not stay open.
void TestOwnModelMerge::failingStatementLeavesNoHalfMerge()
{
    const QString rel = path(QStringLiteral("new.db"));
    {
        TestDatabase db(rel);
        QVERIFY(db.exec(TableLayout::createModels(Generation::Second)
                            .replace("Brand TEXT", "Brand TEXT CHECK (Brand <> 'Boom')")));
        QVERIFY(db.exec(TableLayout::createKeys(Generation::Second)));
        QVERIFY(db.exec(ownSecond, {5, "Shipped", "TV", "S5", "", 5, "", "", 0, 0, 0, 0, 0}));
        QVERIFY(db.exec(keySecond, {5, 2, "Power", "A1", 1}));
    }
    {
        TestDatabase db(path(QStringLiteral("cur.db")));
        QVERIFY(db.exec(TableLayout::createModels(Generation::Second)));
        QVERIFY(db.exec(TableLayout::createKeys(Generation::Second)));
        QVERIFY(db.exec(ownSecond, {5, "Fine", "TV", "A", "", 5, "", "", 1, 0, 0, 0, 0}));
        QVERIFY(db.exec(ownSecond, {6, "Boom", "TV", "B", "", 6, "", "", 1, 0, 0, 0, 0}));
        QVERIFY(db.exec(keySecond, {5, 2, "Own", "x", 1}));
    }
    const QStringList before = dumpTables(rel);
    QVERIFY(!merge(path(QStringLiteral("cur.db")), rel).ok);
    QCOMPARE(dumpTables(rel), before);
    QVERIFY(!QFile::exists(rel + QStringLiteral("-journal")));
    // Another connection can write: no transaction was left open.
    TestDatabase other(rel);
    QVERIFY(other.exec(QStringLiteral("DELETE FROM rckeys")));
}

void TestOwnModelMerge::missingColumnFails()
{
    makeRelease(path(QStringLiteral("new.db")));
    {
        TestDatabase db(path(QStringLiteral("cur.db")));
        QVERIFY(db.exec(TableLayout::createModels(Generation::Second)));
        QVERIFY(db.exec(
            TableLayout::createKeys(Generation::Second).remove(QStringLiteral(", Nkey INTEGER"))));
        QVERIFY(db.exec(ownSecond, {5, "A", "TV", "A", "", 5, "", "", 1, 0, 0, 0, 0}));
    }
    const QStringList before = dumpTables(path(QStringLiteral("new.db")));
    const MergeResult result =
        merge(path(QStringLiteral("cur.db")), path(QStringLiteral("new.db")));
    QVERIFY(!result.ok);
    QVERIFY2(result.errorString.contains(QStringLiteral("Nkey")), qPrintable(result.errorString));
    QCOMPARE(dumpTables(path(QStringLiteral("new.db"))), before);
}

QTEST_GUILESS_MAIN(TestOwnModelMerge)
#include "tst_ownmodelmerge.moc"
