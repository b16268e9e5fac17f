#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "database/visibility.h"
#include "tests/support/sqliteoracle.h"
#include "tests/support/testdatabase.h"
#include "tools/sampledata/sampledatabase.h"

namespace {

const QString model = QStringLiteral(
    "INSERT INTO rcmodels(Rcid,Brand,Type,Model,Documentation,Link,Author,Correction,Own,Hidden,"
    "Flag,Hidden1,Prot) VALUES (?,'B','T','M','',?,'','',?,?,0,0,0)");
const QString key =
    QStringLiteral("INSERT INTO rckeys(Rcid,RCTypeId,Name,ID,Nkey) VALUES (?,?,'K','',1)");

} // namespace

class TestVisibility : public QObject
{
    Q_OBJECT

private slots:
    void rule_data();
    void rule();
    void sameAsShowAllThenHide_data();
    void sameAsShowAllThenHide();
    void failureIsReported();
};

void TestVisibility::rule_data()
{
    QTest::addColumn<QString>("list");
    // Hidden of the models 1 to 6, as sqlite3 reads them after the rule.
    QTest::addColumn<QStringList>("hidden");
    // 1: key set 10 with types 2 and 3; 2: key set 20 with type 2 only; 3: key set 99 that does
    // not exist; 4: NULL Link; 5: own model without keys; 6: own model, shipped hidden.
    QTest::newRow("1,3") << "1,3" << QStringList{"1|0", "2|1", "3|1", "4|0", "5|0", "6|0"};
    QTest::newRow("2") << "2" << QStringList{"1|0", "2|0", "3|1", "4|0", "5|0", "6|0"};
    QTest::newRow("4") << "4" << QStringList{"1|1", "2|1", "3|1", "4|1", "5|0", "6|0"};
    QTest::newRow("empty list") << "" << QStringList{"1|1", "2|1", "3|1", "4|1", "5|0", "6|0"};
    // Only ASCII digit runs reach the statement, whatever the setting held.
    QTest::newRow("leading zeros")
        << "002" << QStringList{"1|0", "2|0", "3|1", "4|0", "5|0", "6|0"};
    QTest::newRow("nothing but digits and commas")
        << "3) OR (1=1" << QStringList{"1|0", "2|1", "3|1", "4|0", "5|0", "6|0"};
    QTest::newRow("no ASCII digit") << QString::fromUtf8("\u0661\u0662")
                                    << QStringList{"1|1", "2|1", "3|1", "4|1", "5|0", "6|0"};
}

void TestVisibility::rule()
{
    QFETCH(QString, list);
    QFETCH(QStringList, hidden);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("rc.db"));
    TestDatabase db(file);
    QVERIFY(db.exec(TableLayout::createModels(Generation::Second)));
    QVERIFY(db.exec(TableLayout::createKeys(Generation::Second)));
    QVERIFY(db.exec(model, {1, 10, 0, 1}));
    QVERIFY(db.exec(model, {2, 20, 0, 0}));
    QVERIFY(db.exec(model, {3, 99, 0, 0}));
    QVERIFY(db.exec(model, {4, QVariant(), 0, 1}));
    QVERIFY(db.exec(model, {5, 5, 1, 1}));
    QVERIFY(db.exec(model, {6, 6, 1, 1}));
    QVERIFY(db.exec(key, {10, 2}));
    QVERIFY(db.exec(key, {10, 3}));
    QVERIFY(db.exec(key, {20, 2}));
    QVERIFY(db.exec(key, {20, 2}));

    QVERIFY(Visibility(db.db()).apply(list));
    QCOMPARE(sqliteRows(file, QStringLiteral("SELECT Rcid, Hidden FROM rcmodels ORDER BY Rcid")),
             hidden);
}

void TestVisibility::failureIsReported()
{
    QTemporaryDir dir;
    TestDatabase db(dir.filePath(QStringLiteral("rc.db")));
    QVERIFY(db.exec(TableLayout::createModels(Generation::Second)));
    Visibility visibility(db.db());
    QVERIFY(!visibility.apply(QStringLiteral("1")));
    QVERIFY(visibility.errorString().contains(QLatin1String("rckeys")));
}

void TestVisibility::sameAsShowAllThenHide_data()
{
    QTest::addColumn<QString>("models");
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("list");

    const QString models = TableLayout::createModels(Generation::Second);
    const QString keys = TableLayout::createKeys(Generation::Second);
    QTest::newRow("integers") << models << keys << "1,3";
    QTest::newRow("text Rcids under NOCASE")
        << QString(models).replace("Link INTEGER", "Link TEXT")
        << QString(keys).replace("Rcid INTEGER", "Rcid TEXT COLLATE NOCASE") << "1,3";
    QTest::newRow("Link under its own collation")
        << QString(models).replace("Link INTEGER", "Link TEXT COLLATE BINARY")
        << QString(keys).replace("Rcid INTEGER", "Rcid TEXT COLLATE NOCASE") << "1,3";
    // The keys' affinity decides how an untyped Link holding "10" compares.
    QTest::newRow("untyped Link, integer Rcids")
        << QString(models).replace("Link INTEGER", "Link") << keys << "1,3";
    QTest::newRow("untyped columns") << QString(models).replace("Link INTEGER", "Link")
                                     << QString(keys).replace("Rcid INTEGER", "Rcid") << "2";
    QTest::newRow("real Rcids") << models << QString(keys).replace("Rcid INTEGER", "Rcid REAL")
                                << "1";
    QTest::newRow("empty list") << models << keys << "";
}

// The rule as the two statements it has always been, run by the sqlite3 command on a copy of
// the same file, over values of every kind: texts that differ in case, numbers as text, a NULL
// Rcid among the keys, NULL Links and Own values, Hidden values of every type.
void TestVisibility::sameAsShowAllThenHide()
{
    QFETCH(QString, models);
    QFETCH(QString, keys);
    QFETCH(QString, list);
    QTemporaryDir dir;
    const QString ours = dir.filePath(QStringLiteral("ours.db"));
    const QString theirs = dir.filePath(QStringLiteral("theirs.db"));
    const QVariantList links = {
        10, QStringLiteral("10"), QStringLiteral("ab"), QStringLiteral("AB"), 20.0, QVariant(),
        99, QStringLiteral(" 10")};
    const QVariantList hidden = {0, 1, QStringLiteral("1"), QVariant(), 7, 0.0};
    {
        TestDatabase db(ours);
        QVERIFY(db.exec(models));
        QVERIFY(db.exec(keys));
        int rcid = 1;
        for (const QVariant &link : links)
            for (const QVariant &own : {QVariant(0), QVariant(1), QVariant()})
                QVERIFY(db.exec(model, {rcid++, link, own, hidden.at(rcid % hidden.size())}));
        // Rcid and type of each key; the NULL Rcid only under type 2.
        const QList<QVariantList> keyRows = {{10, 1},
                                             {QStringLiteral("Ab"), 3},
                                             {20, 3},
                                             {QVariant(), 2},
                                             {QStringLiteral("10"), 2}};
        for (const QVariantList &row : keyRows)
            QVERIFY(db.exec(key, row));
        db.close();
    }
    QVERIFY(QFile::copy(ours, theirs));
    {
        TestDatabase db(ours);
        QVERIFY(Visibility(db.db()).apply(list));
    }
    QCOMPARE(sqliteText(theirs, QStringLiteral("UPDATE rcmodels SET Hidden=0; UPDATE rcmodels SET "
                                               "Hidden=1 WHERE Own=0 AND Link NOT IN (SELECT Rcid "
                                               "FROM rckeys WHERE RCTypeId IN (%1))")
                                    .arg(Visibility::typeList(list))),
             QString());
    const QString rows =
        QStringLiteral("SELECT Rcid, Hidden, typeof(Hidden) FROM rcmodels ORDER BY rowid");
    QCOMPARE(sqliteRows(ours, rows), sqliteRows(theirs, rows));
}

QTEST_GUILESS_MAIN(TestVisibility)
#include "tst_visibility.moc"
