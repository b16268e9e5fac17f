#pragma once

#include <QByteArray>
#include <QDomDocument>
#include <QString>

class QSqlDatabase;

// The upload's XML document: the user's own models, the keys of the key sets they link to, and
// a few words about the sending installation.
class ExportDocument
{
public:
    struct About
    {
        QString macAddress;
        qint64 currentMSecsSinceEpoch = 0;
        QString currentDateTimeUtc;
        QString company;
        QString address;
        QString contact;
    };

    // The installation as it is now: first network interface, clock, and the company, address
    // and contact of ../config.ini.
    static About currentAbout();

    // Mode 2 selects own models not uploaded yet, mode 3 every own model; other modes select
    // nothing and give empty statements.
    static QString modelQuery(int updateMode);
    static QString keyQuery(int updateMode);

    // Builds the document from db for updateMode. Returns whether at least one model row was
    // found; the document is complete either way.
    bool build(const QSqlDatabase &db, int updateMode, const About &about);
    bool build(const QSqlDatabase &db, int updateMode);

    bool hasData() const { return foundModels; }
    const QDomDocument &document() const { return doc; }
    // UTF-8, one space of indentation per level.
    QByteArray toByteArray() const;

private:
    void buildRows(const QSqlDatabase &db, int updateMode);
    void setAbout(const About &about);

    QDomDocument doc;
    bool foundModels = false;
};
