#include "upload/exportdocument.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include <QDateTime>
#include <QNetworkInterface>

#include "common/catalogue/tablelayout.h"
#include "common/contract.h"
#include "common/settings/settings.h"
#include "upload/framedeflater.h"
#include "upload/keyscan.h"
#include "upload/sqliterows.h"
#include "upload/xmltext.h"

namespace {

// Attribute names of "model", by column position of rcmodels.
constexpr auto &modelAttributes = TableLayout::modelColumns;

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
    case Contract::UpdateMode::notYetSent:
        return QStringLiteral("SELECT * FROM rcmodels WHERE Own = '1' AND Flag = '0'");
    case Contract::UpdateMode::all:
        return QStringLiteral("SELECT * FROM rcmodels WHERE Own = '1'");
    default:
        return QString();
    }
}

QString ExportDocument::keyQuery(int updateMode, const QString &ahead)
{
    // Keys belong to the upload through the Link of a selected model, so a key set that several
    // selected models share is written once for each of them. The key table is scanned once
    // against the selected Links: a join driven by the models would first index millions of keys.
    const QString select =
        QStringLiteral("SELECT rckeys.rowid, rckeys.Rcid, rckeys.RCTypeId, rckeys.Name, "
                       "rckeys.ID, rckeys.Nkey FROM rckeys WHERE ") +
        ahead +
        QStringLiteral("rckeys.Rcid IN (SELECT rcmodels.Link FROM rcmodels WHERE "
                       "Own = '1'");
    switch (updateMode) {
    case Contract::UpdateMode::notYetSent:
        return select + QStringLiteral(" AND Flag = '0')");
    case Contract::UpdateMode::all:
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
    case Contract::UpdateMode::notYetSent:
        return select + QStringLiteral(" AND Flag = '0'");
    case Contract::UpdateMode::all:
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
    clearError();

    // A statement that fails (a first-generation rckeys has no RCTypeId) simply yields no rows;
    // a cursor that stops with an error (a damaged page) is a document that must not go out.
    const bool selects = !modelQuery(updateMode).isEmpty();
    {
        SqliteRows models(db, selects ? modelQuery(updateMode) : QString());
        if (models.isPrepared()) {
            m_modelCount = writeModels(models);
            noteReadError(models);
        } else {
            m_text.append(" <rcmodels/>\n");
        }
    }
    // The one scan when it gives the join's rows; the join itself otherwise.
    const std::optional<int> byLink =
        selects ? writeKeysByLink(db, updateMode) : std::optional<int>();
    m_keyCount = byLink.value_or(0);
    if (!byLink) {
        SqliteRows keys(db, selects ? plainKeyQuery(updateMode) : QString());
        if (keys.isPrepared()) {
            m_keyCount = writeKeysAsJoined(keys);
            noteReadError(keys);
        }
    }
    if (m_keyCount == 0)
        m_text.append(" <rckeys/>\n");
    m_modelLinks.clear();
}

// The one scan matches keys to Links by value, which is the join's match only when every Link is
// an integer and the key table's row ids can be reached.
bool ExportDocument::oneScanServes(const QSqlDatabase &db) const
{
    if (!m_linksKnown)
        return false;
    for (const Link &link : m_modelLinks) {
        if (!link.null && !link.integer)
            return false;
    }
    return KeyScan::rowidIsReachable(db);
}

// The models' order, each model's keys in the key table's order: as a join driven by the models
// gives them.
int ExportDocument::writeKeyElements(KeyScan::Lines &keys)
{
    using KeyScan::Element;
    const auto byGroup = [](const Element &a, const Element &b) {
        return a.group != b.group ? a.group < b.group : a.key < b.key;
    };
    std::sort(keys.elements.begin(), keys.elements.end(), byGroup);
    qsizetype total = 0;
    int count = 0;
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1 && !openKeySection(total))
            return 0;
        for (const Link &link : m_modelLinks) {
            if (link.null)
                continue;
            const Element probe{link.value, std::numeric_limits<qint64>::min(), 0, 0};
            for (auto it =
                     std::lower_bound(keys.elements.begin(), keys.elements.end(), probe, byGroup);
                 it != keys.elements.end() && it->group == probe.group; ++it) {
                if (pass == 0) {
                    total += it->size;
                    ++count;
                } else {
                    m_text.append(keys.lines.constData() + it->start, it->size);
                    spill();
                }
            }
        }
    }
    m_text.append(" </rckeys>\n");
    return count;
}

// Only keys whose Rcid equals a selected model's Link are written: where the key table's Rcid is
// numeric, a test of the Links' span spares the lookup for the millions of keys outside it.
QString ExportDocument::linkSpan(const QSqlDatabase &db) const
{
    std::optional<std::pair<qint64, qint64>> span;
    for (const Link &link : m_modelLinks) {
        if (!link.null)
            span = span ? std::pair(std::min(span->first, link.value),
                                    std::max(span->second, link.value))
                        : std::pair(link.value, link.value);
    }
    if (!span || !KeyScan::rcidIsNumeric(db))
        return QString();
    return QStringLiteral("rckeys.Rcid BETWEEN %1 AND %2 AND ").arg(span->first).arg(span->second);
}

// Rows of keyQuery, matched to the selected models' Links by value; nothing, before anything is
// written, when only the plain join can be sure to give the same keys.
std::optional<int> ExportDocument::writeKeysByLink(const QSqlDatabase &db, int updateMode)
{
    if (!oneScanServes(db))
        return std::nullopt;
    std::optional<KeyScan::Lines> keys =
        KeyScan::scan(db, keyQuery(updateMode, linkSpan(db)), m_splitAbove);
    if (!keys)
        return std::nullopt;
    if (!keys->error.isEmpty() && errorString().isEmpty())
        failBecause(keys->error);
    return writeKeyElements(*keys);
}

// Rows of plainKeyQuery, in the order SQLite gives them.
int ExportDocument::writeKeysAsJoined(SqliteRows &rows)
{
    QByteArray lines;
    int count = 0;
    for (; rows.next(); ++count)
        KeyScan::appendKeyElement(lines, rows, 0);
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

void ExportDocument::noteReadError(const SqliteRows &rows)
{
    if (!rows.errorString().isEmpty() && errorString().isEmpty())
        failBecause(rows.errorString());
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

int ExportDocument::writeModels(SqliteRows &rows)
{
    // Values by position; a position that the table does not have (no Prot) gives ''. Without
    // a Link column the keys can only come by the join, which then fails as it always did.
    const int link = rows.column("Link");
    m_linksKnown = link >= 0;
    int count = 0;
    m_text.append(" <rcmodels");
    while (rows.next()) {
        if (link >= 0)
            m_modelLinks.push_back({rows.isNull(link), rows.isInteger(link), rows.integer(link)});
        if (count++ == 0)
            m_text.append(">\n");
        m_text.append("  <model");
        for (int i = 0; i < int(std::size(modelAttributes)); ++i)
            KeyScan::appendAttribute(m_text, modelAttributes[i], rows, i);
        m_text.append("/>\n");
        spill();
    }
    if (count == 0)
        m_text.append("/>\n");
    else
        m_text.append(" </rcmodels>\n");
    return count;
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
    XmlText::appendAttribute(m_text, name, value);
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
