#include "tools/sampledata/sampledatabase.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>

namespace SampleData {

namespace {

// Parameters reach the generating statements as one row p, each bound once.
const QString supplied = QStringLiteral(
    "WITH RECURSIVE p(cnt, first, sets, types, nulls) AS (SELECT ?, ?, ?, ?, ?), "
    "n(i) AS (SELECT 0 FROM p WHERE cnt > 0 UNION ALL SELECT i + 1 FROM n, p WHERE i + 1 < cnt) "
    "INSERT INTO rcmodels(Rcid, Brand, Type, Model, Documentation, Link, Author, Correction, Own, "
    "Hidden, Flag, %1) "
    "SELECT first + i, 'Brand ' || (i % 500), 'TV', 'Model ' || i, 'Manual ' || i, "
    "CASE WHEN nulls AND i % 97 = 96 THEN NULL ELSE first + i % sets END, 'Kestrelix', '', 0, "
    "i % 2, 0, %2 FROM n, p");
const QString suppliedKeys = QStringLiteral(
    "WITH RECURSIVE p(cnt, first, per, types) AS (SELECT ?, ?, ?, ?), "
    "n(k) AS (SELECT 0 FROM p WHERE cnt > 0 UNION ALL SELECT k + 1 FROM n, p WHERE k + 1 < cnt), "
    "t(k, s, j, type) AS (SELECT k, k / per, k % per, "
    "CASE WHEN (k / per) % 5 = 4 AND (k % per) % 2 = 1 THEN (((k / per) * 7) % types + 1) % types "
    "+ 1 ELSE ((k / per) * 7) % types + 1 END FROM n, p) "
    "INSERT INTO rckeys(%1) SELECT first + s, %2 FROM t, p");
const QString own = QStringLiteral(
    "WITH RECURSIVE p(cnt, first, dups, types, nulls, quotes) AS (SELECT ?, ?, ?, ?, ?, ?), "
    "n(i) AS (SELECT 0 FROM p WHERE cnt > 0 UNION ALL SELECT i + 1 FROM n, p WHERE i + 1 < cnt), "
    "o(i, r, q, z) AS (SELECT i, first + CASE WHEN i >= cnt - dups THEN i - (cnt - dups) ELSE i "
    "END, quotes AND i % 4 = 1, nulls AND i % 3 = 2 FROM n, p) "
    "INSERT INTO rcmodels(Rcid, Brand, Type, Model, Documentation, Link, Author, Correction, Own, "
    "Hidden, Flag, %1) "
    "SELECT r, CASE WHEN q THEN 'Joe''s' ELSE 'Own brand ' || (i % 50) END, 'TV', "
    "CASE WHEN q THEN 'Mod''el ' || i ELSE 'Own model ' || i END, "
    "CASE WHEN z THEN NULL WHEN q THEN 'User''s manual' ELSE 'Own manual ' || i END, r, "
    "CASE WHEN z THEN NULL WHEN q THEN 'O''Neil' ELSE 'User' END, "
    "CASE WHEN z THEN NULL WHEN q THEN 'it''s fixed' ELSE '' END, 1, i % 2, i % 2, %2 FROM o, p");
const QString ownKeys = QStringLiteral(
    "WITH RECURSIVE p(cnt, first, per, dups, models, types, nulls, quotes) AS "
    "(SELECT ?, ?, ?, ?, ?, ?, ?, ?), "
    "n(k) AS (SELECT 0 FROM p WHERE cnt > 0 UNION ALL SELECT k + 1 FROM n, p WHERE k + 1 < cnt), "
    "o(k, i, j, r, q, z) AS (SELECT k, k / per, k % per, first + CASE WHEN k / per >= models - "
    "dups THEN k / per - (models - dups) ELSE k / per END, quotes AND (k / per) % 4 = 1, "
    "nulls AND k % 4 = 3 FROM n, p) "
    "INSERT INTO rckeys(%1) SELECT r, %2 FROM o, p");

class Connection
{
public:
    explicit Connection(const QString &path)
        : m_name(QStringLiteral("sampledata-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
    }
    ~Connection() { QSqlDatabase::removeDatabase(m_name); }
    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }

private:
    QString m_name;
};

DatabaseShape sized(int supplied, int keySets, int own, bool release)
{
    DatabaseShape shape;
    shape.suppliedModels = supplied;
    shape.keySets = keySets;
    shape.keysPerSet = 30;
    shape.ownModels = release ? 0 : own;
    shape.keysPerOwnModel = 20;
    return shape;
}

} // namespace

bool DatabaseWriter::run(const QSqlDatabase &db, const QString &statement,
                         const QVariantList &values)
{
    QSqlQuery query(db);
    bool ok = query.prepare(statement);
    for (int i = 0; ok && i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    return (ok && query.exec()) ||
           failBecause(query.lastError().text() + QStringLiteral(" in ") + statement);
}

bool DatabaseWriter::fill(const QSqlDatabase &db, const DatabaseShape &shape)
{
    const bool first = shape.layout == Generation::First;
    const bool prot = !first && shape.withProt;
    const int types = qMax(1, shape.rcTypes);
    const int sets = qMax(1, shape.keySets);

    if (!run(db, TableLayout::createModels(shape.layout, prot), {}) ||
        !run(db, TableLayout::createKeys(shape.layout), {}))
        return false;

    // The supplied model's type is its key set's.
    const QString suppliedLast =
        first ? QStringLiteral("RCTypeId")
              : QStringLiteral("Hidden1") + (prot ? QStringLiteral(", Prot") : QString());
    const QString suppliedLastValues =
        first ? QStringLiteral("((i % sets) * 7) % types + 1")
              : QStringLiteral("0") + (prot ? QStringLiteral(", 0") : QString());
    if (!run(db, supplied.arg(suppliedLast, suppliedLastValues),
             {shape.suppliedModels, shape.firstRcid, sets, types, shape.withNulls}))
        return false;

    const QString keyColumns = first ? QStringLiteral("Rcid, PCB, Name, ID")
                                     : QStringLiteral("Rcid, RCTypeId, Name, ID, Nkey");
    const QString suppliedKeyValues =
        first ? QStringLiteral("printf('%d.%02d', (j / 64) % 10, j % 64), 'Key ' || (j + 1), "
                               "printf('%08X', (k * 2654435761) % 4294967296)")
              : QStringLiteral("type, 'Key ' || (j + 1), printf('%08X', (k * 2654435761) % "
                               "4294967296), j + 1");
    if (!run(db, suppliedKeys.arg(keyColumns, suppliedKeyValues),
             {qint64(sets) * shape.keysPerSet, shape.firstRcid, qMax(1, shape.keysPerSet), types}))
        return false;

    const QString ownLastValues =
        first ? QStringLiteral("CASE WHEN z THEN NULL ELSE i % types + 1 END")
              : QStringLiteral("CASE WHEN z THEN NULL ELSE i % 3 END") +
                    (prot ? QStringLiteral(", i % 2") : QString());
    if (!run(db, own.arg(suppliedLast, ownLastValues),
             {shape.ownModels, shape.ownFirstRcid, shape.duplicatedOwnRcids, types, shape.withNulls,
              shape.withQuotes}))
        return false;

    const QString ownKeyValues =
        first ? QStringLiteral("printf('%d.%02d', (j / 10) % 3, (j * 7) % 64), "
                               "CASE WHEN q THEN 'Ch''' || (j + 1) ELSE 'Own key ' || (j + 1) END, "
                               "CASE WHEN z THEN NULL WHEN q THEN 'I''D' || j ELSE printf('%04X', "
                               "k) END")
              : QStringLiteral("i % types + 1, "
                               "CASE WHEN q THEN 'Ch''' || (j + 1) ELSE 'Own key ' || (j + 1) END, "
                               "CASE WHEN z THEN NULL WHEN q THEN 'I''D' || j ELSE printf('%04X', "
                               "k) END, j + 1");
    return run(db, ownKeys.arg(keyColumns, ownKeyValues),
               {qint64(shape.ownModels) * shape.keysPerOwnModel, shape.ownFirstRcid,
                qMax(1, shape.keysPerOwnModel), shape.duplicatedOwnRcids, qMax(1, shape.ownModels),
                types, shape.withNulls, shape.withQuotes});
}

DatabaseShape sizeS(bool release)
{
    return sized(20000, 10000, 2000, release);
}
DatabaseShape sizeL(bool release)
{
    return sized(200000, 100000, 20000, release);
}

bool DatabaseWriter::write(const QString &path, const DatabaseShape &shape)
{
    clearError();
    if (QFile::exists(path) && !QFile::remove(path))
        return failBecause(QStringLiteral("Can not replace ") + path);
    Connection connection(path);
    QSqlDatabase db = connection.db();
    if (!db.open())
        return failBecause(db.lastError().text());
    // A sample is thrown away when writing it fails: no journal, no waiting for the disk.
    const bool ok = run(db, QStringLiteral("PRAGMA journal_mode=OFF"), {}) &&
                    run(db, QStringLiteral("PRAGMA synchronous=OFF"), {}) && db.transaction() &&
                    fill(db, shape) && db.commit();
    if (!ok && errorString().isEmpty())
        failBecause(db.lastError().text());
    db.close();
    return ok;
}

} // namespace SampleData
