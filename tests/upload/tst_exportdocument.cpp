#include "tests/upload/tst_exportdocument.h"

#include <QDomDocument>
#include <QRegularExpression>

const char *const modelNames[] = {"Rcid", "Brand",   "Type",       "Model", "Documentation",
                                  "Link", "Author",  "Correction", "Own",   "Hidden",
                                  "Flag", "Hidden1", "Prot"};
const char *const keyNames[] = {"Rcid", "RCTypeId", "Name", "ID", "Nkey"};

Parsed parse(const QByteArray &text)
{
    Parsed parsed;
    QDomDocument doc;
    if (!doc.setContent(text))
        return parsed;
    const QDomElement root = doc.documentElement();
    for (QDomElement e = root.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        parsed.rootChildren << e.tagName();
    const QDomElement models = root.firstChildElement(QStringLiteral("rcmodels"));
    for (QDomElement e = models.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        parsed.models << e;
    const QDomElement keys = root.firstChildElement(QStringLiteral("rckeys"));
    for (QDomElement e = keys.firstChildElement(); !e.isNull(); e = e.nextSiblingElement())
        parsed.keys << e;
    parsed.about = root.firstChildElement(QStringLiteral("about"));
    return parsed;
}

QStringList values(const QList<QDomElement> &elements, const char *attribute)
{
    QStringList list;
    for (const QDomElement &e : elements)
        list << e.attribute(QLatin1String(attribute), QStringLiteral("<absent>"));
    return list;
}

ExportDocument::About fixedAbout()
{
    ExportDocument::About about;
    about.macAddress = QStringLiteral("0A:1B:2C:3D:4E:5F");
    about.currentMSecsSinceEpoch = 1500000000123;
    about.currentDateTimeUtc = QStringLiteral("2017-07-14-02-40-00");
    about.company = QStringLiteral("company");
    about.address = QStringLiteral("address");
    about.contact = QStringLiteral("contact");
    return about;
}

void TestExportDocument::init()
{
    fixture = new Installation;
    QVERIFY(fixture->isValid());
    fixture->enter();
}

void TestExportDocument::cleanup()
{
    delete fixture;
    fixture = nullptr;
}

bool TestExportDocument::build(ExportDocument &document, int mode,
                               const std::optional<ExportDocument::About> &about)
{
    bool found = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "export");
        db.setDatabaseName(fixture->path(QStringLiteral("rc.db")));
        if (db.open())
            found = about ? document.build(db, mode, *about) : document.build(db, mode);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("export"));
    return found;
}

void TestExportDocument::selectionByMode_data()
{
    QTest::addColumn<QStringList>("extraRows");
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("found");
    QTest::addColumn<QStringList>("modelIds");
    QTest::addColumn<QStringList>("flags");
    QTest::addColumn<QStringList>("keyIds");

    // Keys come by the Link of each selected model: set 100 is linked by models 2 and 3.
    QTest::newRow("mode 3: every own model")
        << QStringList() << 3 << true << QStringList{"1", "2", "3"} << QStringList{"0", "1", "0"}
        << QStringList{"1", "1", "100", "100", "100", "100", "100", "100"};
    QTest::newRow("mode 2: own models not sent yet")
        << QStringList() << 2 << true << QStringList{"1", "3"} << QStringList{"0", "0"}
        << QStringList{"1", "1", "100", "100", "100"};
    QTest::newRow("mode 2: everything sent already")
        << QStringList{"UPDATE rcmodels SET Flag = 1"} << 2 << false << QStringList()
        << QStringList() << QStringList();
    QTest::newRow("mode 3: no own model")
        << QStringList{"UPDATE rcmodels SET Own = 0"} << 3 << false << QStringList()
        << QStringList() << QStringList();
    QTest::newRow("mode 0 selects nothing")
        << QStringList() << 0 << false << QStringList() << QStringList() << QStringList();
}

void TestExportDocument::selectionByMode()
{
    QFETCH(QStringList, extraRows);
    QFETCH(int, mode);
    QFETCH(bool, found);
    QFETCH(QStringList, modelIds);
    QFETCH(QStringList, flags);
    QFETCH(QStringList, keyIds);

    QVERIFY(fixture->createDatabase(Shapes::tables() + Shapes::ownModelsToSend() + extraRows));
    ExportDocument document;
    QCOMPARE(build(document, mode, fixedAbout()), found);
    QCOMPARE(document.hasData(), found);

    const Parsed parsed = parse(document.toByteArray());
    QCOMPARE(parsed.rootChildren, (QStringList{"rcmodels", "rckeys", "about"}));
    QCOMPARE(values(parsed.models, "Rcid"), modelIds);
    QCOMPARE(values(parsed.models, "Flag"), flags);
    QCOMPARE(values(parsed.models, "Own"), QStringList(modelIds.size(), QStringLiteral("1")));
    QStringList sortedKeys = values(parsed.keys, "Rcid");
    sortedKeys.sort();
    QCOMPARE(sortedKeys, keyIds);
    for (const QDomElement &model : parsed.models)
        QCOMPARE(model.attributes().count(), 13);
    for (const QDomElement &key : parsed.keys)
        QCOMPARE(key.attributes().count(), 5);
}

void TestExportDocument::layoutOfTheText()
{
    QVERIFY(fixture->createDatabase(Shapes::tables() + Shapes::ownModelsToSend()));
    ExportDocument document;
    QVERIFY(build(document, 2, fixedAbout()));
    const QList<QByteArray> lines = document.toByteArray().split('\n');

    QCOMPARE(lines.value(0), QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
    QCOMPARE(lines.value(1), QByteArray("<rc>"));
    QCOMPARE(lines.value(2), QByteArray(" <rcmodels>"));
    QVERIFY(lines.value(3).startsWith("  <model "));
    QVERIFY(lines.value(4).startsWith("  <model "));
    QCOMPARE(lines.value(5), QByteArray(" </rcmodels>"));
    QCOMPARE(lines.value(6), QByteArray(" <rckeys>"));
    for (int i = 7; i < 12; ++i)
        QVERIFY2(lines.value(i).startsWith("  <key "), lines.value(i).constData());
    QCOMPARE(lines.value(12), QByteArray(" </rckeys>"));
    QVERIFY(lines.value(13).startsWith(" <about "));
    QCOMPARE(lines.value(14), QByteArray("</rc>"));

    // Empty sections stay, as empty elements.
    ExportDocument empty;
    QVERIFY(!build(empty, 0, fixedAbout()));
    const QList<QByteArray> emptyLines = empty.toByteArray().split('\n');
    QCOMPARE(emptyLines.value(2), QByteArray(" <rcmodels/>"));
    QCOMPARE(emptyLines.value(3), QByteArray(" <rckeys/>"));
}

void TestExportDocument::escapedValuesReadBackUnchanged()
{
    const QString awkward = QStringLiteral("Fish \"&\" Chips <Ltd> 'n' Grüße");
    QVERIFY(fixture->createDatabase(
        Shapes::tables() +
        QStringList{"INSERT INTO rcmodels VALUES (9, 'Say \"hi\" & <bye>', 'TV', 'M', '', 9, "
                    "'', '', 1, 0, 0, 0, 0)"}));
    ExportDocument::About about = fixedAbout();
    about.company = awkward;
    ExportDocument document;
    QVERIFY(build(document, 3, about));

    const QByteArray text = document.toByteArray();
    QVERIFY(text.contains("&quot;"));
    QVERIFY(text.contains("&amp;"));
    QVERIFY(!text.contains("\"&\""));
    const Parsed parsed = parse(text);
    QCOMPARE(parsed.about.attribute(QStringLiteral("company")), awkward);
    QCOMPARE(values(parsed.models, "Brand"), QStringList{"Say \"hi\" & <bye>"});
}

// Our text, parsed and written again by Qt's DOM writer with indent 1, gives the same lines; only
// the order of the attributes within an element may differ.
void TestExportDocument::sameTextAsTheDomWriter()
{
    QVERIFY(fixture->createDatabase(
        Shapes::tables() + Shapes::ownModelsToSend() +
        QStringList{"INSERT INTO rcmodels VALUES (8, 'two' || char(10) || 'lines' || char(9) || "
                    "'tab' || char(13), ']]> <&>', '\"q\"', 'Grüße', 8, '', '', 1, 0, 0, 0, 0)"}));
    ExportDocument::About about = fixedAbout();
    about.contact = QStringLiteral("a\tb\nc\r]]>");
    ExportDocument document;
    QVERIFY(build(document, 3, about));
    const QByteArray ours = document.toByteArray();
    QDomDocument dom;
    QVERIFY(dom.setContent(ours));
    const QByteArray theirs = dom.toByteArray(1);

    static const QRegularExpression attribute(QStringLiteral(" ([A-Za-z0-9]+)=\"([^\"]*)\""));
    auto normalised = [](const QByteArray &text) {
        QStringList lines;
        for (const QString &line : QString::fromUtf8(text).split(QLatin1Char('\n'))) {
            QStringList attributes;
            for (const QRegularExpressionMatch &m : attribute.globalMatch(line))
                attributes << m.captured(0);
            QString rest = line;
            rest.remove(attribute);
            attributes.sort();
            lines << rest + QLatin1Char('|') + attributes.join(QString());
        }
        return lines;
    };
    // The parser keeps the declaration's data in its own quoting; that line is checked by
    // layoutOfTheText.
    QCOMPARE(normalised(ours).mid(1), normalised(theirs).mid(1));
}

void TestExportDocument::nullColumnsAndMissingProt()
{
    // A twelve-column rcmodels, as before the migration, with NULLs in it.
    QVERIFY(fixture->createDatabase(
        {TableLayout::createModels(Generation::Second, false), Shapes::tables().at(1),
         "INSERT INTO rcmodels VALUES (5, NULL, 'TV', NULL, NULL, 5, NULL, NULL, 1, NULL, 0, 4)",
         "INSERT INTO rckeys VALUES (5, NULL, 'Power', NULL, 12)"}));
    ExportDocument document;
    QVERIFY(build(document, 2, fixedAbout()));
    const Parsed parsed = parse(document.toByteArray());
    QCOMPARE(parsed.models.size(), 1);
    QStringList modelValues;
    for (const char *name : modelNames)
        modelValues << parsed.models.first().attribute(QLatin1String(name), "<absent>");
    QCOMPARE(modelValues, (QStringList{"5", "", "TV", "", "", "5", "", "", "1", "", "0", "4", ""}));
    QCOMPARE(parsed.keys.size(), 1);
    QStringList keyValues;
    for (const char *name : keyNames)
        keyValues << parsed.keys.first().attribute(QLatin1String(name), "<absent>");
    QCOMPARE(keyValues, (QStringList{"5", "", "Power", "", "12"}));
}

void TestExportDocument::firstGenerationSendsModelsWithoutKeys()
{
    QVERIFY(fixture->createDatabase(
        Shapes::tables(Generation::First) +
        QStringList{"INSERT INTO rcmodels VALUES (1, 'Acme', 'TV', 'A1', '', 1, '', '', 1, 0, 0, "
                    "6)",
                    "INSERT INTO rckeys VALUES (1, '1-02', 'Power', '0x10')"}));
    ExportDocument document;
    QVERIFY(build(document, 3, fixedAbout()));
    const Parsed parsed = parse(document.toByteArray());
    QCOMPARE(values(parsed.models, "Hidden1"), QStringList{"6"});
    QCOMPARE(values(parsed.models, "Prot"), QStringList{""});
    QVERIFY(parsed.keys.isEmpty());
}

void TestExportDocument::aboutFromTheInstallation()
{
    QVERIFY(fixture->createDatabase(Shapes::tables() + Shapes::ownModelsToSend()));
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    ExportDocument defaults;
    QVERIFY(build(defaults, 3));
    const qint64 after = QDateTime::currentMSecsSinceEpoch();

    QDomElement about = parse(defaults.toByteArray()).about;
    QCOMPARE(about.attributes().count(), 7);
    QCOMPARE(about.attribute("company"), QStringLiteral("company"));
    QCOMPARE(about.attribute("address"), QStringLiteral("address"));
    QCOMPARE(about.attribute("contact"), QStringLiteral("contact"));
    QCOMPARE(about.attribute("version"), QStringLiteral("2.0"));
    const qint64 msecs = about.attribute("currentMSecsSinceEpoch").toLongLong();
    QVERIFY(msecs >= before && msecs <= after);
    const QDateTime utc = QDateTime::fromString(about.attribute("currentDateTimeUtc"),
                                                QStringLiteral("yyyy-MM-dd-hh-mm-ss"));
    QVERIFY(QRegularExpression("^\\d{4}-\\d\\d-\\d\\d-\\d\\d-\\d\\d-\\d\\d$")
                .match(about.attribute("currentDateTimeUtc"))
                .hasMatch());
    QVERIFY(qAbs(QDateTime(utc.date(), utc.time(), Qt::UTC).toMSecsSinceEpoch() - msecs) < 2000);
    // The first interface's address in the toolkit's form, or nothing on a system without any.
    const QString mac = about.attribute("macAddress", "<absent>");
    QVERIFY2(mac.isEmpty() ||
                 QRegularExpression("^[0-9A-F]{2}(:[0-9A-F]{2})+$").match(mac).hasMatch(),
             qPrintable(mac));

    QVERIFY(fixture->setInstalled("Settings/company", "Acme & Sons"));
    QVERIFY(fixture->setInstalled("Settings/address", "1 \"Main\" St"));
    QVERIFY(fixture->setInstalled("Settings/contact", "sales@acme.example"));
    ExportDocument configured;
    QVERIFY(build(configured, 3));
    about = parse(configured.toByteArray()).about;
    QCOMPARE(about.attribute("company"), QStringLiteral("Acme & Sons"));
    QCOMPARE(about.attribute("address"), QStringLiteral("1 \"Main\" St"));
    QCOMPARE(about.attribute("contact"), QStringLiteral("sales@acme.example"));
}

QTEST_GUILESS_MAIN(TestExportDocument)
