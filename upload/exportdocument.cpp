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

// Each row becomes one element whose attributes are the row's values by position; a position
// that the table does not have gives '' (a table without Prot, for one).
template <size_t N>
void appendRows(QSqlQuery &query, QDomDocument &doc, QDomElement &parent, const QString &tag,
                const char *const (&attributes)[N], bool *found)
{
    const int columns = query.record().count();
    QString value;
    while (query.next()) {
        QDomElement element = doc.createElement(tag);
        for (int i = 0; i < int(N); ++i) {
            value = i < columns ? query.value(i).toString() : QString();
            element.setAttribute(QLatin1String(attributes[i]), value);
        }
        parent.appendChild(element);
        if (found)
            *found = true;
    }
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
    buildRows(db, updateMode);
    setAbout(currentAbout());
    return foundModels;
}

bool ExportDocument::build(const QSqlDatabase &db, int updateMode, const About &about)
{
    buildRows(db, updateMode);
    setAbout(about);
    return foundModels;
}

void ExportDocument::buildRows(const QSqlDatabase &db, int updateMode)
{
    doc = QDomDocument();
    foundModels = false;

    QDomElement root = doc.createElement(QStringLiteral("rc"));
    QDomElement models = doc.createElement(QStringLiteral("rcmodels"));
    QDomElement keys = doc.createElement(QStringLiteral("rckeys"));
    doc.appendChild(root);
    root.appendChild(models);
    root.appendChild(keys);
    root.appendChild(doc.createElement(QStringLiteral("about")));
    doc.insertBefore(doc.createProcessingInstruction(QStringLiteral("xml"),
                                                     QStringLiteral("version=\"1.0\" "
                                                                    "encoding=\"UTF-8\"")),
                     root);

    // A statement that fails (a first-generation rckeys has no RCTypeId) simply yields no rows.
    if (modelQuery(updateMode).isEmpty())
        return;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (query.exec(modelQuery(updateMode)))
        appendRows(query, doc, models, QStringLiteral("model"), modelAttributes, &foundModels);
    if (query.exec(keyQuery(updateMode)))
        appendRows(query, doc, keys, QStringLiteral("key"), keyAttributes, nullptr);
}

void ExportDocument::setAbout(const About &about)
{
    QDomElement aboutElement = doc.documentElement().lastChildElement(QStringLiteral("about"));
    aboutElement.setAttribute(QStringLiteral("macAddress"), about.macAddress);
    aboutElement.setAttribute(QStringLiteral("currentMSecsSinceEpoch"),
                              QString::number(about.currentMSecsSinceEpoch));
    aboutElement.setAttribute(QStringLiteral("currentDateTimeUtc"), about.currentDateTimeUtc);
    aboutElement.setAttribute(QStringLiteral("company"), about.company);
    aboutElement.setAttribute(QStringLiteral("address"), about.address);
    aboutElement.setAttribute(QStringLiteral("contact"), about.contact);
    aboutElement.setAttribute(QStringLiteral("version"), QStringLiteral("2.0"));
}

QByteArray ExportDocument::toByteArray() const
{
    return doc.toByteArray(1);
}
