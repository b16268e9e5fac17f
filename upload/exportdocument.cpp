#include "upload/exportdocument.h"

#include <algorithm>
#include <limits>
#include <vector>

#include <QDateTime>
#include <QNetworkInterface>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#include "common/settings.h"
#include "upload/framedeflater.h"

namespace {

// Attribute names of "model", by column position of rcmodels.
const char *const modelAttributes[] = {"Rcid", "Brand",   "Type",       "Model", "Documentation",
                                       "Link", "Author",  "Correction", "Own",   "Hidden",
                                       "Flag", "Hidden1", "Prot"};
const char *const keyAttributes[] = {"Rcid", "RCTypeId", "Name", "ID", "Nkey"};

bool isXmlChar(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

// XML 1.0 can not carry some characters at all, not even as references, and a receiver refuses
// the whole document for one of them: such a character (a lone surrogate too) goes out as
// U+FFFD. Only the document changes; the database keeps what the user typed.
QString xmlSafe(const QString &value)
{
    QString safe;
    bool replaced = false;
    const qsizetype size = value.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = value.at(i);
        char32_t code = c.unicode();
        qsizetype length = 1;
        if (c.isHighSurrogate() && i + 1 < size && value.at(i + 1).isLowSurrogate()) {
            code = QChar::surrogateToUcs4(c, value.at(i + 1));
            length = 2;
        }
        if (!isXmlChar(code)) {
            if (!replaced)
                safe = value.left(i);
            replaced = true;
            safe.append(QChar::ReplacementCharacter);
        } else if (replaced) {
            safe.append(value.constData() + i, length);
        }
        i += length - 1;
    }
    return replaced ? safe : value;
}

// Attribute values escaped as the DOM writer does it, so that a parser gives back exactly the
// value, line ends and tabs included.
void appendEscaped(QByteArray &out, const QString &value)
{
    const QByteArray utf8 = xmlSafe(value).toUtf8();
    qsizetype start = 0;
    const qsizetype size = utf8.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char *replacement = nullptr;
        switch (utf8.at(i)) {
        case '<':
            replacement = "&lt;";
            break;
        case '&':
            replacement = "&amp;";
            break;
        case '"':
            replacement = "&quot;";
            break;
        case '>':
            if (i >= 2 && utf8.at(i - 1) == ']' && utf8.at(i - 2) == ']')
                replacement = "&gt;";
            break;
        case '\r':
            replacement = "&#xd;";
            break;
        case '\n':
            replacement = "&#xa;";
            break;
        case '\t':
            replacement = "&#x9;";
            break;
        default:
            break;
        }
        if (replacement) {
            out.append(utf8.constData() + start, i - start);
            out.append(replacement);
            start = i + 1;
        }
    }
    out.append(utf8.constData() + start, size - start);
}

void appendAttribute(QByteArray &out, const char *name, const QString &value)
{
    out.append(' ').append(name).append("=\"");
    appendEscaped(out, value);
    out.append('"');
}

} // namespace

ExportDocument::About ExportDocument::currentAbout()
{
    About about;
    const QList<QNetworkInterface> interfaces = QNetworkInterface::allInterfaces();
    // The first entry whatever its kind; a system without any gives an empty address.
    if (!interfaces.isEmpty())
        about.macAddress = interfaces.first().hardwareAddress();
    about.currentMSecsSinceEpoch = QDateTime::currentMSecsSinceEpoch();
    about.currentDateTimeUtc =
        QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd-hh-mm-ss"));
    const Settings::Installed installed = Settings::readInstalled();
    about.company = installed.company;
    about.address = installed.address;
    about.contact = installed.contact;
    return about;
}

QString ExportDocument::modelQuery(int updateMode)
{
    switch (updateMode) {
    case 2:
        return QStringLiteral("SELECT * FROM rcmodels WHERE Own = '1' AND Flag = '0'");
    case 3:
        return QStringLiteral("SELECT * FROM rcmodels WHERE Own = '1'");
    default:
        return QString();
    }
}

QString ExportDocument::keyQuery(int updateMode)
{
    // Keys belong to the upload through the Link of a selected model, so a key set that several
    // selected models share is written once for each of them. The key table is scanned once
    // against the selected Links: a join driven by the models would first index millions of keys.
    const QString select = QStringLiteral(
        "SELECT rckeys.rowid, rckeys.Rcid, rckeys.RCTypeId, rckeys.Name, rckeys.ID, rckeys.Nkey "
        "FROM rckeys WHERE rckeys.Rcid IN (SELECT rcmodels.Link FROM rcmodels WHERE Own = '1'");
    switch (updateMode) {
    case 2:
        return select + QStringLiteral(" AND Flag = '0')");
    case 3:
        return select + QStringLiteral(")");
    default:
        return QString();
    }
}

QString ExportDocument::plainKeyQuery(int updateMode)
{
    // The join as it always was, for every schema the one scan can not serve: values that are
    // not plain integers (texts compare under collations and affinities, which only SQLite
    // knows), a key table without rowids. SQLite picks the plan and the order of the rows.
    const QString select = QStringLiteral(
        "SELECT rckeys.Rcid, rckeys.RCTypeId, rckeys.Name, rckeys.ID, rckeys.Nkey FROM rckeys "
        "INNER JOIN rcmodels ON rckeys.rcid = rcmodels.link WHERE Own = '1'");
    switch (updateMode) {
    case 2:
        return select + QStringLiteral(" AND Flag = '0'");
    case 3:
        return select;
    default:
        return QString();
    }
}

bool ExportDocument::build(const QSqlDatabase &db, int updateMode)
{
    // The installation is described after the rows are read, so that its time is the upload's.
    writeRows(db, updateMode);
    writeAbout(currentAbout());
    spill(true);
    return hasData();
}

bool ExportDocument::build(const QSqlDatabase &db, int updateMode, const About &about)
{
    writeRows(db, updateMode);
    writeAbout(about);
    spill(true);
    return hasData();
}

void ExportDocument::writeRows(const QSqlDatabase &db, int updateMode)
{
    m_text = QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rc>\n");
    m_modelCount = 0;
    m_keyCount = 0;
    m_modelLinks.clear();
    m_readError.clear();

    // A statement that fails (a first-generation rckeys has no RCTypeId) simply yields no rows;
    // a cursor that stops with an error (a damaged page) is a document that must not go out.
    QSqlQuery query(db);
    query.setForwardOnly(true);
    const bool selects = !modelQuery(updateMode).isEmpty();
    if (selects && query.exec(modelQuery(updateMode))) {
        m_modelCount = writeSection(query, "rcmodels", "model", modelAttributes,
                                    int(std::size(modelAttributes)));
        noteReadError(query);
    } else {
        m_text.append(" <rcmodels/>\n");
    }
    // The one scan when it gives the join's rows; the join itself otherwise.
    m_keyCount = -1;
    if (selects && query.exec(keyQuery(updateMode))) {
        m_keyCount = writeKeysByLink(query);
        if (m_keyCount >= 0)
            noteReadError(query);
        query.finish();
    }
    if (m_keyCount < 0) {
        m_keyCount = 0;
        if (selects && query.exec(plainKeyQuery(updateMode))) {
            m_keyCount = writeKeysAsJoined(query);
            noteReadError(query);
        }
    }
    if (m_keyCount == 0)
        m_text.append(" <rckeys/>\n");
    m_modelLinks.clear();
}

namespace {

struct KeyElement
{
    qint64 group; // the Rcid or the model's rowid
    qint64 key;   // the key's rowid
    qsizetype start;
    qsizetype size;
};

bool isInteger(const QVariant &value)
{
    return value.typeId() == QMetaType::LongLong || value.typeId() == QMetaType::Int;
}

// One "  <key .../>" line from the key columns starting at `first`.
void appendKeyElement(QByteArray &out, const QSqlQuery &query, int first, int columns)
{
    out.append("  <key");
    for (int i = 0; i < int(std::size(keyAttributes)); ++i)
        appendAttribute(out, keyAttributes[i],
                        first + i < columns ? query.value(first + i).toString() : QString());
    out.append("/>\n");
}

} // namespace

// Rows of keyQuery, matched to the selected models' Links by value. Only exact when every Link
// and every Rcid is an integer; -1 asks for plainKeyQuery instead, before anything is written.
int ExportDocument::writeKeysByLink(QSqlQuery &query)
{
    for (const QVariant &link : m_modelLinks) {
        if (!link.isNull() && !isInteger(link))
            return -1;
    }
    const int columns = query.record().count();
    std::vector<KeyElement> elements;
    QByteArray lines;
    while (query.next()) {
        const QVariant rcid = query.value(1);
        if (!isInteger(rcid))
            return -1;
        const qsizetype start = lines.size();
        appendKeyElement(lines, query, 1, columns);
        elements.push_back(
            {rcid.toLongLong(), query.value(0).toLongLong(), start, lines.size() - start});
    }
    const auto byGroup = [](const KeyElement &a, const KeyElement &b) {
        return a.group != b.group ? a.group < b.group : a.key < b.key;
    };
    std::sort(elements.begin(), elements.end(), byGroup);

    // The models' order, each model's keys in the key table's order: as a join driven by the
    // models gives them.
    qsizetype total = 0;
    int count = 0;
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1 && !openKeySection(total))
            return 0;
        for (const QVariant &link : m_modelLinks) {
            if (link.isNull())
                continue;
            const KeyElement probe{link.toLongLong(), std::numeric_limits<qint64>::min(), 0, 0};
            for (auto it = std::lower_bound(elements.begin(), elements.end(), probe, byGroup);
                 it != elements.end() && it->group == probe.group; ++it) {
                if (pass == 0) {
                    total += it->size;
                    ++count;
                } else {
                    m_text.append(lines.constData() + it->start, it->size);
                    spill();
                }
            }
        }
    }
    m_text.append(" </rckeys>\n");
    return count;
}

// Rows of plainKeyQuery, in the order SQLite gives them.
int ExportDocument::writeKeysAsJoined(QSqlQuery &query)
{
    const int columns = query.record().count();
    QByteArray lines;
    int count = 0;
    for (; query.next(); ++count)
        appendKeyElement(lines, query, 0, columns);
    if (!openKeySection(lines.size()))
        return 0;
    constexpr qsizetype slice = 1 << 20;
    for (qsizetype at = 0; at < lines.size(); at += slice) {
        m_text.append(lines.constData() + at, qMin(slice, lines.size() - at));
        spill();
    }
    m_text.append(" </rckeys>\n");
    return count;
}

void ExportDocument::noteReadError(const QSqlQuery &query)
{
    if (query.lastError().isValid() && m_readError.isEmpty())
        m_readError = query.lastError().text();
}

// Starts a section of keys taking `size` bytes; false when there are none.
bool ExportDocument::openKeySection(qsizetype size)
{
    if (size == 0)
        return false;
    // What follows the keys is a few hundred bytes: one allocation holds the whole text (unless
    // it goes to a deflater piece by piece).
    if (!m_deflater)
        m_text.reserve(m_text.size() + size + 1024);
    m_text.append(" <rckeys>\n");
    return true;
}

int ExportDocument::writeSection(QSqlQuery &query, const char *section, const char *element,
                                 const char *const *attributes, int attributeCount)
{
    // Values by position; a position that the table does not have (no Prot) gives ''.
    const int columns = query.record().count();
    const int link = query.record().indexOf(QStringLiteral("Link"));
    int rows = 0;
    m_text.append(" <").append(section);
    while (query.next()) {
        if (link >= 0)
            m_modelLinks.push_back(query.value(link));
        if (rows++ == 0)
            m_text.append(">\n");
        m_text.append("  <").append(element);
        for (int i = 0; i < attributeCount; ++i)
            writeAttribute(attributes[i], i < columns ? query.value(i).toString() : QString());
        m_text.append("/>\n");
        spill();
    }
    if (rows == 0)
        m_text.append("/>\n");
    else
        m_text.append(" </").append(section).append(">\n");
    return rows;
}

void ExportDocument::writeAbout(const About &about)
{
    m_text.append(" <about");
    writeAttribute("macAddress", about.macAddress);
    writeAttribute("currentMSecsSinceEpoch", QString::number(about.currentMSecsSinceEpoch));
    writeAttribute("currentDateTimeUtc", about.currentDateTimeUtc);
    writeAttribute("company", about.company);
    writeAttribute("address", about.address);
    writeAttribute("contact", about.contact);
    writeAttribute("version", QStringLiteral("2.0"));
    m_text.append("/>\n</rc>\n");
}

void ExportDocument::writeAttribute(const char *name, const QString &value)
{
    appendAttribute(m_text, name, value);
}

// With a deflater, the text goes to it in pieces of about a MiB as it is written.
void ExportDocument::spill(bool all)
{
    constexpr qsizetype pieceSize = 1 << 20;
    if (!m_deflater || (!all && m_text.size() < pieceSize))
        return;
    m_deflater->add(std::move(m_text));
    m_text = QByteArray();
    if (!all)
        m_text.reserve(pieceSize + 64 * 1024);
}
