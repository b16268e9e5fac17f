// Builds the upload document over arbitrary column values and reads it back with an XML parser.
//
// The input is a list of values separated by NUL bytes, each taken as UTF-8: first the
// installation's company, address and contact, then groups of 14 values, each group one own model
// (Rcid, Brand, Type, Model, Documentation, Author, Correction, Hidden, Hidden1, Prot) and one key
// (RCTypeId, Name, ID, Nkey). Own, Flag, Link and the key's Rcid are set here, so that what each
// mode selects is known: every model is own, odd models are already sent, model i uses key set
// 100 + i % 3 and key i belongs to key set 100 + i % 4.
//
// For both modes the document must parse, hold the selected models in table order with every
// value as stored, the keys of their key sets (one copy per model that links to them) and the
// installation's words, unless a value holds characters that XML 1.0 cannot carry at all.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <QCoreApplication>
#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QXmlStreamReader>

#include "common/catalogue/tablelayout.h"
#include "upload/exportdocument.h"

namespace {

constexpr int groupSize = 14;
constexpr int maxGroups = 40;

const QStringList modelColumns = TableLayout::modelColumnNames(Generation::Second);
const QStringList keyColumns = TableLayout::keyColumnNames(Generation::Second);

[[noreturn]] void fail(const QString &what)
{
    std::fprintf(stderr, "fuzz-export: %s\n", qPrintable(what));
    std::abort();
}

// Characters outside XML 1.0's Char production: no escape can carry them.
bool xmlCanCarry(const QString &value)
{
    for (const QChar c : value) {
        const char16_t u = c.unicode();
        if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u == 0xFFFE || u == 0xFFFF)
            return false;
    }
    return true;
}

// A stored value as the document must give it back. Values are bound as text; SQLite keeps
// them as text unless a column's integer affinity turns them into a number.
struct Cell
{
    QString text;
    bool isReal = false;
    double real = 0;

    bool matches(const QString &attribute) const
    {
        return isReal ? attribute.toDouble() == real : attribute == text;
    }
};

using Row = std::vector<Cell>;

std::vector<Row> storedRows(QSqlDatabase &db, const QString &table, const QStringList &columns,
                            const std::vector<QStringList> &inserted)
{
    QStringList select;
    for (const QString &c : columns)
        select << QStringLiteral("typeof(%1), %1").arg(c);
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT %1 FROM %2 ORDER BY rowid")
                        .arg(select.join(QLatin1Char(',')), table)))
        fail(query.lastError().text());
    std::vector<Row> rows;
    while (query.next()) {
        const QStringList &values = inserted.at(rows.size());
        Row row;
        for (int i = 0; i < columns.size(); ++i) {
            const QString type = query.value(2 * i).toString();
            const QVariant value = query.value(2 * i + 1);
            Cell cell;
            if (type == QLatin1String("text")) {
                cell.text = values.at(i);
                if (value.toString() != cell.text)
                    fail(QStringLiteral("%1.%2 does not keep the text it was given")
                             .arg(table, columns.at(i)));
            } else if (type == QLatin1String("integer")) {
                cell.text = QString::number(value.toLongLong());
            } else if (type == QLatin1String("real")) {
                cell.isReal = true;
                cell.real = value.toDouble();
            } else {
                fail(QStringLiteral("%1.%2 holds a %3").arg(table, columns.at(i), type));
            }
            row.push_back(cell);
        }
        rows.push_back(row);
    }
    return rows;
}

void insertRows(QSqlDatabase &db, const QString &table, const QStringList &columns,
                const std::vector<QStringList> &rows)
{
    QSqlQuery insert(db);
    const QString marks = QStringLiteral("?,").repeated(columns.size()).chopped(1);
    if (!insert.prepare(QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
                            .arg(table, columns.join(QLatin1Char(',')), marks)))
        fail(insert.lastError().text());
    for (const QStringList &row : rows) {
        for (int i = 0; i < row.size(); ++i)
            insert.bindValue(i, row.at(i));
        if (!insert.exec())
            fail(insert.lastError().text());
    }
}

struct Element
{
    QStringList names;
    QStringList values;
};

struct Parsed
{
    QStringList sections;
    std::vector<Element> models;
    std::vector<Element> keys;
    Element about;
    QString error;
};

Element elementOf(const QXmlStreamReader &xml)
{
    Element e;
    for (const QXmlStreamAttribute &a : xml.attributes()) {
        e.names << a.name().toString();
        e.values << a.value().toString();
    }
    return e;
}

Parsed parse(const QByteArray &text)
{
    Parsed parsed;
    QXmlStreamReader xml(text);
    int depth = 0;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartDocument) {
            if (xml.documentVersion() != QLatin1String("1.0") ||
                xml.documentEncoding() != QLatin1String("UTF-8"))
                parsed.error = QStringLiteral("declaration");
        } else if (token == QXmlStreamReader::StartElement) {
            const QString name = xml.name().toString();
            ++depth;
            if (depth == 1 && name != QLatin1String("rc"))
                parsed.error = QStringLiteral("root <%1>").arg(name);
            else if (depth == 2)
                parsed.sections << name;
            if (depth == 2 && name == QLatin1String("about"))
                parsed.about = elementOf(xml);
            else if (depth == 3 && parsed.sections.last() == QLatin1String("rcmodels") &&
                     name == QLatin1String("model"))
                parsed.models.push_back(elementOf(xml));
            else if (depth == 3 && parsed.sections.last() == QLatin1String("rckeys") &&
                     name == QLatin1String("key"))
                parsed.keys.push_back(elementOf(xml));
            else if (depth >= 3)
                parsed.error = QStringLiteral("<%1> at depth %2").arg(name).arg(depth);
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        } else if (token == QXmlStreamReader::Characters && !xml.isWhitespace()) {
            parsed.error = QStringLiteral("text content");
        }
    }
    if (xml.hasError())
        parsed.error = xml.errorString();
    return parsed;
}

bool matches(const Element &e, const QStringList &names, const Row &row)
{
    if (e.names != names)
        return false;
    for (int i = 0; i < names.size(); ++i)
        if (!row.at(i).matches(e.values.at(i)))
            return false;
    return true;
}

void check(QSqlDatabase &db, int mode, const std::vector<Row> &models, const std::vector<Row> &keys,
           const ExportDocument::About &about, bool carried)
{
    ExportDocument document;
    const bool hasData = document.build(db, mode, about);
    const QByteArray text = document.toByteArray();

    std::vector<size_t> selected;
    for (size_t i = 0; i < models.size(); ++i)
        if (mode == 3 || i % 2 == 0)
            selected.push_back(i);
    if (hasData != !selected.empty() || document.models() != int(selected.size()))
        fail(QStringLiteral("mode %1: %2 models written, %3 selected")
                 .arg(mode)
                 .arg(document.models())
                 .arg(selected.size()));
    if (!carried)
        return;

    const Parsed parsed = parse(text);
    if (!parsed.error.isEmpty())
        fail(QStringLiteral("mode %1: the document does not parse: %2\n%3")
                 .arg(mode)
                 .arg(parsed.error, QString::fromUtf8(text)));
    if (parsed.sections != QStringList{"rcmodels", "rckeys", "about"})
        fail(QStringLiteral("mode %1: sections %2").arg(mode).arg(parsed.sections.join(' ')));

    if (parsed.models.size() != selected.size())
        fail(QStringLiteral("mode %1: %2 models read back").arg(mode).arg(parsed.models.size()));
    for (size_t i = 0; i < selected.size(); ++i)
        if (!matches(parsed.models.at(i), modelColumns, models.at(selected.at(i))))
            fail(QStringLiteral("mode %1: model %2 reads back as %3")
                     .arg(mode)
                     .arg(selected.at(i))
                     .arg(parsed.models.at(i).values.join(QLatin1Char('|'))));

    // The join gives no order: every expected key must be matched by one key read back.
    std::vector<const Row *> expected;
    for (size_t m : selected)
        for (size_t k = 0; k < keys.size(); ++k)
            if (int(k % 4) == int(m % 3))
                expected.push_back(&keys.at(k));
    if (parsed.keys.size() != expected.size() || document.keys() != int(expected.size()))
        fail(QStringLiteral("mode %1: %2 keys read back, %3 expected")
                 .arg(mode)
                 .arg(parsed.keys.size())
                 .arg(expected.size()));
    std::vector<bool> used(parsed.keys.size(), false);
    for (const Row *row : expected) {
        bool found = false;
        for (size_t i = 0; i < parsed.keys.size() && !found; ++i)
            if (!used.at(i) && matches(parsed.keys.at(i), keyColumns, *row))
                used.at(i) = found = true;
        if (!found)
            fail(QStringLiteral("mode %1: a key is missing or altered").arg(mode));
    }

    const QStringList aboutValues = {about.macAddress,
                                     QString::number(about.currentMSecsSinceEpoch),
                                     about.currentDateTimeUtc,
                                     about.company,
                                     about.address,
                                     about.contact,
                                     QStringLiteral("2.0")};
    if (parsed.about.values != aboutValues)
        fail(QStringLiteral("mode %1: about reads back as %2")
                 .arg(mode)
                 .arg(parsed.about.values.join(QLatin1Char('|'))));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    QLoggingCategory::setFilterRules(QStringLiteral("kestrelix.*.debug=false"));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(QStringLiteral(":memory:"));
    if (!db.open())
        fail(db.lastError().text());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QStringList values;
    for (const QByteArray &part :
         QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).split('\0'))
        values << QString::fromUtf8(part);
    while (values.size() < 3)
        values << QString();
    // Qt binds a null string as SQL NULL; an empty value is meant as ''.
    for (QString &v : values)
        if (v.isNull())
            v = QStringLiteral("");

    ExportDocument::About about;
    about.macAddress = QStringLiteral("0A:1B:2C:3D:4E:5F");
    about.currentMSecsSinceEpoch = 1500000000123;
    about.currentDateTimeUtc = QStringLiteral("2017-07-14-02-40-00");
    about.company = values.at(0);
    about.address = values.at(1);
    about.contact = values.at(2);

    std::vector<QStringList> modelRows, keyRows;
    for (int at = 3, i = 0; at + groupSize <= values.size() && i < maxGroups;
         at += groupSize, ++i) {
        QStringList v = values.mid(at, groupSize);
        // SQLite reads U+FFFE and U+FFFF back as U+FFFD: a database never holds them.
        for (QString &value : v)
            value.replace(QChar(0xFFFE), QChar(0xFFFD)).replace(QChar(0xFFFF), QChar(0xFFFD));
        const QString link = QString::number(100 + i % 3);
        modelRows.push_back({v[0], v[1], v[2], v[3], v[4], link, v[5], v[6], QStringLiteral("1"),
                             v[7], QString::number(i % 2), v[8], v[9]});
        keyRows.push_back({QString::number(100 + i % 4), v[10], v[11], v[12], v[13]});
    }
    bool carried =
        xmlCanCarry(about.company) && xmlCanCarry(about.address) && xmlCanCarry(about.contact);
    for (const auto *rows : {&modelRows, &keyRows})
        for (const QStringList &row : *rows)
            for (const QString &v : row)
                carried = carried && xmlCanCarry(v);

    QSqlDatabase db = QSqlDatabase::database();
    QSqlQuery query(db);
    const QStringList setup = {QStringLiteral("DROP TABLE IF EXISTS rcmodels"),
                               QStringLiteral("DROP TABLE IF EXISTS rckeys"),
                               TableLayout::createModels(Generation::Second),
                               TableLayout::createKeys(Generation::Second)};
    for (const QString &statement : setup)
        if (!query.exec(statement))
            fail(query.lastError().text());
    query.finish();
    insertRows(db, QStringLiteral("rcmodels"), modelColumns, modelRows);
    insertRows(db, QStringLiteral("rckeys"), keyColumns, keyRows);
    const std::vector<Row> models =
        storedRows(db, QStringLiteral("rcmodels"), modelColumns, modelRows);
    const std::vector<Row> keys = storedRows(db, QStringLiteral("rckeys"), keyColumns, keyRows);

    check(db, 2, models, keys, about, carried);
    check(db, 3, models, keys, about, carried);
    return 0;
}
