// The merge judged against the plain per-model order, and the key numbers that order relies on.

#include <QDir>
#include <QSqlQuery>

#include "database/keynumber.h"
#include "tests/database/tst_ownmodelmerge.h"

namespace {

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

} // namespace

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

void TestOwnModelMerge::samePerModelResult_data()
{
    QTest::addColumn<int>("layout");
    QTest::addColumn<bool>("withProt");
    QTest::addColumn<qint64>("ownFirstRcid");
    QTest::addColumn<int>("duplicates");
    // Text encodings of the user's file and of the release; the reference merges UTF-8 files.
    QTest::addColumn<QString>("currentEncoding");
    QTest::addColumn<QString>("releaseEncoding");
    // The type the user's file declares for Rcid.
    QTest::addColumn<QString>("rcidType");
    // Whether the release's tables declare no types at all, so that a value keeps what it is given.
    QTest::addColumn<bool>("untypedRelease");
    const QString utf8 = QStringLiteral("UTF-8");
    const QString integer = QStringLiteral("INTEGER");
    QTest::newRow("second generation, own Rcids replace shipped ones")
        << int(Generation::Second) << true << qint64(1) << 6 << utf8 << utf8 << integer << false;
    QTest::newRow("second generation without Prot, own Rcids of their own")
        << int(Generation::Second) << false << qint64(50000) << 3 << utf8 << utf8 << integer
        << false;
    QTest::newRow("first generation, own Rcids replace shipped ones")
        << int(Generation::First) << false << qint64(1) << 6 << utf8 << utf8 << integer << false;
    QTest::newRow("first generation, no duplicates")
        << int(Generation::First) << false << qint64(90) << 0 << utf8 << utf8 << integer << false;
    QTest::newRow("second generation, user's file in UTF-16")
        << int(Generation::Second) << false << qint64(1) << 6 << "UTF-16le" << utf8 << integer
        << false;
    QTest::newRow("second generation, release in UTF-16")
        << int(Generation::Second) << true << qint64(1) << 6 << utf8 << "UTF-16be" << integer
        << false;
    QTest::newRow("first generation, user's file in UTF-16")
        << int(Generation::First) << false << qint64(1) << 6 << "UTF-16be" << utf8 << integer
        << false;
    QTest::newRow("both in UTF-16")
        << int(Generation::Second) << true << qint64(1) << 6 << "UTF-16le"
        << "UTF-16le" << integer << false;
    // Own Rcids written as numbers but declared and stored as text, where "100" sorts before
    // "90": a range test that holds for numbers would drop them all.
    QTest::newRow("own Rcids as text")
        << int(Generation::Second) << true << qint64(90) << 0 << utf8 << utf8 << "TEXT" << false;
    QTest::newRow("release without types")
        << int(Generation::Second) << true << qint64(1) << 6 << utf8 << utf8 << integer << true;
}

void TestOwnModelMerge::samePerModelResult()
{
    QFETCH(int, layout);
    QFETCH(bool, withProt);
    QFETCH(qint64, ownFirstRcid);
    QFETCH(int, duplicates);
    QFETCH(QString, currentEncoding);
    QFETCH(QString, releaseEncoding);
    QFETCH(QString, rcidType);
    QFETCH(bool, untypedRelease);

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
    if (rcidType != QLatin1String("INTEGER")) {
        sqliteRows(path(QStringLiteral("cur.db")),
                   "PRAGMA writable_schema = ON; UPDATE sqlite_schema SET sql = replace(sql, "
                   "'Rcid INTEGER', 'Rcid " +
                       rcidType + "') WHERE name IN ('rcmodels', 'rckeys');");
        sqliteRows(path(QStringLiteral("cur.db")),
                   QStringLiteral("UPDATE rcmodels SET Rcid = CAST(Rcid AS TEXT); UPDATE rckeys "
                                  "SET Rcid = CAST(Rcid AS TEXT);"));
        QCOMPARE(sqliteRows(path(QStringLiteral("cur.db")),
                            QStringLiteral("SELECT DISTINCT typeof(Rcid) FROM rckeys")),
                 QStringList{"text"});
    }
    QVERIFY2(writer.write(path(QStringLiteral("new.db")), release),
             qPrintable(writer.errorString()));
    if (untypedRelease)
        sqliteRows(path(QStringLiteral("new.db")),
                   "PRAGMA writable_schema = ON; UPDATE sqlite_schema SET sql = "
                   "replace(replace(sql, ' INTEGER', ''), ' TEXT', '') WHERE name IN "
                   "('rcmodels', 'rckeys');");
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
