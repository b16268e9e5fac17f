// The keys of the selected models, and the values as they come from the database.

#include <QSqlQuery>

#include "tests/support/sqliteoracle.h"
#include "tests/upload/tst_exportdocument.h"

namespace {

// Keys of different sets interleaved in the table, models not in the order of their Links, one
// key set shared by two models, a model without keys and one with a NULL Link.
const QStringList mixedRows = {
    "INSERT INTO rckeys VALUES (30, 1, 'c1', 'x', 1)",
    "INSERT INTO rckeys VALUES (10, 1, 'a1', 'x', 1)",
    "INSERT INTO rckeys VALUES (20, 1, 'b1', 'x', 1)",
    "INSERT INTO rckeys VALUES (10, 1, 'a2', 'x', 2)",
    "INSERT INTO rckeys VALUES (30, 1, 'c2', 'x', 2)",
    "INSERT INTO rckeys VALUES (99, 1, 'other', 'x', 1)",
    "INSERT INTO rckeys VALUES (20, 1, 'b2', 'x', 2)",
    "INSERT INTO rcmodels VALUES (3, 'C', 'TV', 'c', '', 30, '', '', 1, 0, 0, 0, 0)",
    "INSERT INTO rcmodels VALUES (1, 'A', 'TV', 'a', '', 10, '', '', 1, 0, 0, 0, 0)",
    "INSERT INTO rcmodels VALUES (5, 'E', 'TV', 'e', '', 50, '', '', 1, 0, 0, 0, 0)",
    "INSERT INTO rcmodels VALUES (6, 'F', 'TV', 'f', '', NULL, '', '', 1, 0, 0, 0, 0)",
    "INSERT INTO rcmodels VALUES (2, 'B', 'TV', 'b', '', 20, '', '', 1, 0, 1, 0, 0)",
    "INSERT INTO rcmodels VALUES (7, 'G', 'TV', 'g', '', 10, '', '', 1, 0, 0, 0, 0)",
    "INSERT INTO rcmodels VALUES (9, 'X', 'TV', 'x', '', 99, '', '', 0, 0, 0, 0, 0)"};

QString modeFilter(int mode)
{
    return mode == 2 ? QStringLiteral(" AND m.Flag = '0'") : QString();
}

// "Rcid/Name" of every key element, in the document's order.
QStringList rcidsAndNames(const QList<QDomElement> &keys)
{
    QStringList names;
    for (const QDomElement &key : keys)
        names << key.attribute(QStringLiteral("Rcid")) + QLatin1Char('/') +
                     key.attribute(QStringLiteral("Name"));
    return names;
}

} // namespace

void TestExportDocument::keysInTheOrderOfAModelDrivenJoin_data()
{
    QTest::addColumn<int>("mode");
    QTest::newRow("integers, mode 2") << 2;
    QTest::newRow("integers, mode 3") << 3;
}

// With integer Links and Rcids the keys come from one scan of the key table: each selected
// model's keys, in the models' order and each model's keys in the key table's order, whatever
// plan SQLite picks for the selection.
void TestExportDocument::keysInTheOrderOfAModelDrivenJoin()
{
    QFETCH(int, mode);
    QVERIFY(fixture->createDatabase(Shapes::tables() + mixedRows));
    QStringList expected;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "oracle");
        db.setDatabaseName(fixture->path(QStringLiteral("rc.db")));
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(QStringLiteral("SELECT k.Rcid, k.Name FROM rcmodels m JOIN rckeys k ON "
                                          "k.Rcid = m.Link WHERE m.Own = '1'%1 ORDER BY m.rowid, "
                                          "k.rowid")
                               .arg(modeFilter(mode))));
        while (query.next())
            expected << query.value(0).toString() + QLatin1Char('/') + query.value(1).toString();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("oracle"));
    QVERIFY(!expected.isEmpty());

    // The same whether the keys are scanned once or in two halves on two threads.
    for (const qint64 splitAbove : {qint64(200000), qint64(1)}) {
        ExportDocument document;
        document.setSplitAbove(splitAbove);
        QVERIFY(build(document, mode, fixedAbout()));
        QCOMPARE(rcidsAndNames(parse(document.toByteArray()).keys), expected);
        QCOMPARE(document.keys(), int(expected.size()));
    }
}

void TestExportDocument::keysOfThePlainJoin_data()
{
    QTest::addColumn<QStringList>("tables");
    QTest::addColumn<QStringList>("rows");

    const QString models = TableLayout::createModels(Generation::Second);
    const QString keys = TableLayout::createKeys(Generation::Second);
    QTest::newRow("integers") << Shapes::tables() << mixedRows;
    QTest::newRow("key table without rowid")
        << QStringList{models, QString(keys).replace(")", ", PRIMARY KEY (Rcid, Name)) WITHOUT "
                                                          "ROWID")}
        << mixedRows;
    // Texts where numbers are expected: matched under SQLite's own rules (affinity, collation).
    QTest::newRow("text Rcids under NOCASE")
        << QStringList{models, QString(keys).replace("Rcid INTEGER", "Rcid TEXT COLLATE NOCASE")}
        << mixedRows + QStringList{"INSERT INTO rckeys VALUES ('ab', 1, 't1', 'x', 1)",
                                   "INSERT INTO rckeys VALUES ('AB', 1, 't2', 'x', 2)",
                                   "INSERT INTO rcmodels VALUES (8, 'H', 'TV', 'h', '', 'Ab', '', "
                                   "'', 1, 0, 0, 0, 0)"};
    QTest::newRow("text Rcids under RTRIM")
        << QStringList{QString(models).replace("Link INTEGER", "Link TEXT"),
                       QString(keys).replace("Rcid INTEGER", "Rcid TEXT COLLATE RTRIM")}
        << mixedRows + QStringList{"INSERT INTO rckeys VALUES ('r1  ', 1, 't1', 'x', 1)",
                                   "INSERT INTO rckeys VALUES ('r1', 1, 't2', 'x', 2)",
                                   "INSERT INTO rcmodels VALUES (8, 'H', 'TV', 'h', '', 'r1 ', '', "
                                   "'', 1, 0, 0, 0, 0)"};
    QTest::newRow("text Rcids")
        << QStringList{QString(models).replace("Link INTEGER", "Link TEXT"),
                       QString(keys).replace("Rcid INTEGER", "Rcid TEXT")}
        << QStringList{"INSERT INTO rckeys VALUES ('k1', 1, 'k1a', 'x', 1)",
                       "INSERT INTO rckeys VALUES ('k2', 1, 'k2a', 'x', 1)",
                       "INSERT INTO rckeys VALUES ('k1', 1, 'k1b', 'x', 2)",
                       "INSERT INTO rcmodels VALUES (1, 'A', 'TV', 'a', '', 'k1', '', '', 1, 0, "
                       "0, 0, 0)",
                       "INSERT INTO rcmodels VALUES (2, 'B', 'TV', 'b', '', 'k2', '', '', 1, 0, "
                       "1, 0, 0)"};
    // Equal to the Links as numbers, never as texts: no span of the Links may keep them out.
    QTest::newRow("text Rcids that read as the Links")
        << QStringList{models, QString(keys).replace("Rcid INTEGER", "Rcid TEXT")}
        << mixedRows + QStringList{"UPDATE rckeys SET Rcid = '00' || Rcid"};
    QTest::newRow("untyped Link holding texts")
        << QStringList{QString(models).replace("Link INTEGER", "Link"), keys}
        << mixedRows + QStringList{"UPDATE rcmodels SET Link = CAST(Link AS TEXT)"};
    // SQL matches names without regard to case; a user's column may take the row id's name.
    QTest::newRow("Link spelled link")
        << QStringList{QString(models).replace("Link INTEGER", "link INTEGER"), keys} << mixedRows;
    QTest::newRow("a column of the user's named rowid, some NULL")
        << Shapes::tables()
        << mixedRows + QStringList{"ALTER TABLE rckeys ADD COLUMN rowid INTEGER",
                                   "UPDATE rckeys SET rowid = 1000 - _rowid_ WHERE Name LIKE '%1'"};
    QTest::newRow("integer tables holding a text Link")
        << Shapes::tables()
        << mixedRows + QStringList{"INSERT INTO rckeys VALUES ('k', 1, 'k1', 'x', 1)",
                                   "INSERT INTO rcmodels VALUES (4, 'D', 'TV', 'd', '', 'k', '', "
                                   "'', 1, 0, 0, 0, 0)"};
}

// Whatever the schema, the document carries exactly the keys of the join the upload has always
// been: the sqlite3 command gives the rows, in whichever order.
void TestExportDocument::keysOfThePlainJoin()
{
#ifdef Q_OS_WIN
    QSKIP("the sqlite3 command, which Wine does not have");
#endif
    QFETCH(QStringList, tables);
    QFETCH(QStringList, rows);
    QVERIFY(fixture->createDatabase(tables + rows));
    // Read in one scan, and in two halves on two threads as millions of keys are.
    for (const qint64 splitAbove : {qint64(200000), qint64(1)})
        for (int mode : {2, 3}) {
            QStringList expected =
                sqliteRows(fixture->path(QStringLiteral("rc.db")),
                           QStringLiteral("SELECT k.Rcid || '/' || k.Name FROM rckeys k INNER JOIN "
                                          "rcmodels m ON k.rcid = m.link WHERE m.Own = '1'") +
                               modeFilter(mode));
            QVERIFY(!expected.isEmpty());
            ExportDocument document;
            document.setSplitAbove(splitAbove);
            QVERIFY(build(document, mode, fixedAbout()));
            QStringList keys = rcidsAndNames(parse(document.toByteArray()).keys);
            keys.sort();
            expected.sort();
            QCOMPARE(keys, expected);
            QCOMPARE(document.keys(), int(expected.size()));
        }
}

// Every storage class, in models and keys, comes out as Qt's SQLite driver and
// QVariant::toString give it (characters XML can not carry as U+FFFD), read here through Qt.
void TestExportDocument::valuesAsTheDriverGivesThem()
{
    const QStringList brands = {"7",
                                "-9223372036854775808",
                                "0.1",
                                "1e300",
                                "-0.0",
                                "2.5",
                                "x'00ff41'",
                                "x'c3a4'",
                                "'plain <&> \"text\" ]]>'",
                                "'Gr' || char(252) || 'e'",
                                "CAST(x'4dfc6c6c6572' AS TEXT)",
                                "'tab' || char(9) || 'bell' || char(7)",
                                "NULL"};
    QStringList rows = Shapes::tables();
    for (int i = 0; i < brands.size(); ++i) {
        // Columns of integer affinity keep integers, reals, texts and blobs as they come.
        rows << QStringLiteral(
                    "INSERT INTO rcmodels VALUES (%1, 'B', 'TV', 'M', '', %1, '', '', 1, "
                    "0, 0, %2, 0)")
                    .arg(i + 1)
                    .arg(brands.at(i));
        rows << QStringLiteral("INSERT INTO rckeys VALUES (%1, 1, 'K', 'x', %2)")
                    .arg(i + 1)
                    .arg(brands.at(i));
    }
    QVERIFY(fixture->createDatabase(rows));
    QStringList expected;
    QStringList kinds;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "oracle");
        db.setDatabaseName(fixture->path(QStringLiteral("rc.db")));
        QVERIFY(db.open());
        QSqlQuery query(db);
        QVERIFY(query.exec(
            QStringLiteral("SELECT Hidden1, typeof(Hidden1) FROM rcmodels ORDER BY Rcid")));
        while (query.next()) {
            QString value = query.value(0).toString();
            for (QChar &c : value)
                if ((c.unicode() < 0x20 && c != '\t' && c != '\n' && c != '\r') ||
                    c.unicode() >= 0xFFFE)
                    c = QChar::ReplacementCharacter;
            expected << value;
            kinds << query.value(1).toString();
        }
    }
    QSqlDatabase::removeDatabase(QStringLiteral("oracle"));
    QCOMPARE(expected.size(), brands.size());
    kinds.removeDuplicates();
    QCOMPARE(kinds.size(), 5); // integer, real, blob, text, null
    ExportDocument document;
    QVERIFY(build(document, 3, fixedAbout()));
    const Parsed parsed = parse(document.toByteArray());
    QCOMPARE(values(parsed.models, "Hidden1"), expected);
    QCOMPARE(values(parsed.keys, "Nkey"), expected);
}
