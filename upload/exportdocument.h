#pragma once

#include <optional>
#include <vector>

#include <QByteArray>
#include <QString>

#include "common/errorstring.h"

class FrameDeflater;
class QSqlDatabase;
class SqliteRows;
namespace KeyScan {
struct Lines;
}

// The upload's XML document: the user's own models, the keys of the key sets they link to, and
// a few words about the sending installation.
//
// The text is written as the rows are read, in the form Qt's DOM writer gives with an indent of
// one: the declaration line, then one element per line, each level one space deeper. A DOM tree
// of 20,000 models with 400,000 keys would take about 2 GB before the first byte is written.
class ExportDocument : public ErrorString
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
    // ahead is a test put before the IN ("rckeys.Rcid BETWEEN 1 AND 9 AND ").
    static QString keyQuery(int updateMode, const QString &ahead = QString());
    static QString plainKeyQuery(int updateMode);

    // Builds the document from db for updateMode. Returns whether at least one model row was
    // found; the document is complete either way. A cursor over the user's file that stopped with
    // an error leaves its reason in errorString(): the document misses rows and must not be sent,
    // or the models would be marked as sent with keys that never arrived.
    bool build(const QSqlDatabase &db, int updateMode);
    bool build(const QSqlDatabase &db, int updateMode, const About &about);

    bool hasData() const { return m_modelCount > 0; }
    int models() const { return m_modelCount; }
    int keys() const { return m_keyCount; }
    // UTF-8, one space of indentation per level. Empty when the text went to a deflater.
    QByteArray toByteArray() const { return m_text; }
    // Hands the text to deflater piece by piece while it is written, instead of keeping it:
    // the frame is compressed beside the writing. Set before build().
    void setDeflater(FrameDeflater *deflater) { m_deflater = deflater; }
    // A key table of more rows than this is scanned in two halves on two threads (200,000
    // unless a test says).
    void setSplitAbove(qint64 keys) { m_splitAbove = keys; }

private:
    void writeRows(const QSqlDatabase &db, int updateMode);
    int writeModels(SqliteRows &rows);
    bool oneScanServes(const QSqlDatabase &db) const;
    QString linkSpan(const QSqlDatabase &db) const;
    int writeKeyElements(KeyScan::Lines &keys);
    std::optional<int> writeKeysByLink(const QSqlDatabase &db, int updateMode);
    int writeKeysAsJoined(SqliteRows &rows);
    void noteReadError(const SqliteRows &rows);
    bool openKeySection(qsizetype size);
    void writeAbout(const About &about);
    void writeAttribute(const char *name, const QString &value);
    void spill(bool all = false);

    QByteArray m_text;
    FrameDeflater *m_deflater = nullptr;
    qint64 m_splitAbove = 200000;
    // The Link of each selected model, in their order.
    struct Link
    {
        bool null;
        bool integer;
        qint64 value;
    };
    std::vector<Link> m_modelLinks;
    bool m_linksKnown = false;
    int m_modelCount = 0;
    int m_keyCount = 0;
};
