#include "upload/exportdocument.h"

#include <QDateTime>
#include <QNetworkInterface>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSqlRecord>

#include "common/settings.h"

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
    // selected models share is written once for each of them.
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
    return hasData();
}

bool ExportDocument::build(const QSqlDatabase &db, int updateMode, const About &about)
{
    writeRows(db, updateMode);
    writeAbout(about);
    return hasData();
}

void ExportDocument::writeRows(const QSqlDatabase &db, int updateMode)
{
    text = QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<rc>\n");
    modelCount = 0;
    keyCount = 0;

    // A statement that fails (a first-generation rckeys has no RCTypeId) simply yields no rows.
    QSqlQuery query(db);
    query.setForwardOnly(true);
    const bool selects = !modelQuery(updateMode).isEmpty();
    if (selects && query.exec(modelQuery(updateMode)))
        modelCount = writeSection(query, "rcmodels", "model", modelAttributes,
                                  int(std::size(modelAttributes)));
    else
        text.append(" <rcmodels/>\n");
    if (selects && query.exec(keyQuery(updateMode)))
        keyCount =
            writeSection(query, "rckeys", "key", keyAttributes, int(std::size(keyAttributes)));
    else
        text.append(" <rckeys/>\n");
}

int ExportDocument::writeSection(QSqlQuery &query, const char *section, const char *element,
                                 const char *const *attributes, int attributeCount)
{
    // Values by position; a position that the table does not have (no Prot) gives ''.
    const int columns = query.record().count();
    int rows = 0;
    text.append(" <").append(section);
    while (query.next()) {
        if (rows++ == 0)
            text.append(">\n");
        text.append("  <").append(element);
        for (int i = 0; i < attributeCount; ++i)
            writeAttribute(attributes[i], i < columns ? query.value(i).toString() : QString());
        text.append("/>\n");
    }
    if (rows == 0)
        text.append("/>\n");
    else
        text.append(" </").append(section).append(">\n");
    return rows;
}

void ExportDocument::writeAbout(const About &about)
{
    text.append(" <about");
    writeAttribute("macAddress", about.macAddress);
    writeAttribute("currentMSecsSinceEpoch", QString::number(about.currentMSecsSinceEpoch));
    writeAttribute("currentDateTimeUtc", about.currentDateTimeUtc);
    writeAttribute("company", about.company);
    writeAttribute("address", about.address);
    writeAttribute("contact", about.contact);
    writeAttribute("version", QStringLiteral("2.0"));
    text.append("/>\n</rc>\n");
}

void ExportDocument::writeAttribute(const char *name, const QString &value)
{
    text.append(' ').append(name).append("=\"");
    appendEscaped(text, value);
    text.append('"');
}
