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
    void statementText_data();
    void statementText();
    void rule_data();
    void rule();
    void failureIsReported();
};

void TestVisibility::statementText_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<QString>("spliced");
    QTest::newRow("list") << "1,3,5"
                          << "1,3,5";
    QTest::newRow("leading zeros kept") << "12,007"
                                        << "12,007";
    QTest::newRow("empty") << ""
                           << "";
    QTest::newRow("nothing but digits and commas") << "1) OR (1=1"
                                                   << "1,1,1";
    QTest::newRow("no ASCII digit") << "١٢"
                                    << "";
}

void TestVisibility::statementText()
{
    QFETCH(QString, list);
    QFETCH(QString, spliced);
    QCOMPARE(Visibility::hideStatement(list),
             QStringLiteral("UPDATE rcmodels SET Hidden=1 WHERE Own=0 AND Link NOT IN (SELECT Rcid "
                            "FROM rckeys WHERE RCTypeId IN (") +
                 spliced + QStringLiteral("))"));
}

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
}

void TestVisibility::rule()
{
    QFETCH(QString, list);
    QFETCH(QStringList, hidden);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("rc.db"));
    TestDatabase db(file);
    QVERIFY(db.exec(SampleData::modelsTable(SampleData::Layout::Second)));
    QVERIFY(db.exec(SampleData::keysTable(SampleData::Layout::Second)));
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

    QVERIFY(Visibility::apply(db.db(), list));
    QCOMPARE(sqliteRows(file, QStringLiteral("SELECT Rcid, Hidden FROM rcmodels ORDER BY Rcid")),
             hidden);
}

void TestVisibility::failureIsReported()
{
    QTemporaryDir dir;
    TestDatabase db(dir.filePath(QStringLiteral("rc.db")));
    QVERIFY(db.exec(SampleData::modelsTable(SampleData::Layout::Second)));
    QString error;
    QVERIFY(!Visibility::apply(db.db(), QStringLiteral("1"), &error));
    QVERIFY(error.contains(QLatin1String("rckeys")));
    // The first statement ran on its own: every model is visible.
    QCOMPARE(db.rows(QStringLiteral("SELECT count(*) FROM rcmodels WHERE Hidden <> 0")),
             (QList<QStringList>{{"0"}}));
}

QTEST_GUILESS_MAIN(TestVisibility)
#include "tst_visibility.moc"
