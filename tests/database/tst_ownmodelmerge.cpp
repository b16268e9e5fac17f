#include "tests/database/tst_ownmodelmerge.h"

#include <QSignalSpy>

#include "database/ownmodelmerge.h"

MergeResult merge(const QString &current, const QString &target, bool copyOwnModels)
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

QStringList schemaOf(const QString &path)
{
    return sqliteRows(path, QStringLiteral("SELECT sql FROM sqlite_master ORDER BY name"));
}

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
