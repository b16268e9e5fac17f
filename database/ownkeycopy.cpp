#include "database/ownkeycopy.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include "database/databaselayout.h"
#include "database/sqlconnection.h"

namespace OwnKeyCopy {

namespace {

bool failWith(QString *error, const QString &what, const QSqlError &sqlError)
{
    *error = what + QStringLiteral(": ") + sqlError.text();
    return false;
}

QString placeholders(const QString &columns)
{
    return QStringLiteral("?,").repeated(columns.count(QLatin1Char(',')) + 1).chopped(1);
}

// The own Rcids in a temporary table of the user's connection, which leaves the file itself alone.
bool stageRcids(const QSqlDatabase &current, const QStringList &rcids, QString *error)
{
    QSqlQuery query(current);
    if (!query.exec(QStringLiteral("CREATE TEMP TABLE kx_copy_rcids(rcid)")))
        return failWith(error, QStringLiteral("own Rcids"), query.lastError());
    bool ok = query.prepare(QStringLiteral("INSERT INTO temp.kx_copy_rcids(rcid) VALUES (?)"));
    for (int i = 0; ok && i < rcids.size(); ++i) {
        query.bindValue(0, rcids.at(i));
        ok = query.exec();
    }
    return ok || failWith(error, QStringLiteral("own Rcids"), query.lastError());
}

void dropRcids(const QSqlDatabase &current)
{
    QSqlQuery query(current);
    query.exec(QStringLiteral("DROP TABLE IF EXISTS temp.kx_copy_rcids"));
}

// The columns and kconv, the Rcid as text (which the column's affinity then converts).
QString ownKeys(const QString &columns)
{
    return QStringLiteral("SELECT ") + columns +
           QStringLiteral(",ifnull(CAST(Rcid AS TEXT),'') FROM main.rckeys WHERE Rcid IN (SELECT "
                          "rcid FROM temp.kx_copy_rcids)");
}

QString withKconv(const QString &columns)
{
    return columns + QStringLiteral(",kconv");
}

// In one statement, the scratch file attached to the user's connection for as long as it takes.
bool copyInSql(const QSqlDatabase &current, const QString &columns, const QString &path,
               QString *error)
{
    QSqlQuery query(current);
    if (!query.prepare(QStringLiteral("ATTACH DATABASE ? AS kx_copy")) ||
        (query.bindValue(0, path), !query.exec()))
        return failWith(error, QStringLiteral("scratch"), query.lastError());
    const bool ok = (query.exec(QStringLiteral("PRAGMA kx_copy.journal_mode = OFF")) &&
                     query.exec(QStringLiteral("PRAGMA kx_copy.synchronous = OFF")) &&
                     query.exec(QStringLiteral("INSERT INTO kx_copy.rckeys(") + withKconv(columns) +
                                QStringLiteral(") ") + ownKeys(columns))) ||
                    failWith(error, QStringLiteral("key copy"), query.lastError());
    query.exec(QStringLiteral("DETACH DATABASE kx_copy"));
    return ok;
}

// Row by row through Qt, for a scratch file in another encoding than the user's: values keep
// their storage class on the way (integers, reals, texts, blobs, NULL).
bool copyRowByRow(const QSqlDatabase &current, const QString &columns, QSqlQuery &insert,
                  QString *error)
{
    QSqlQuery keys(current);
    keys.setForwardOnly(true);
    keys.setNumericalPrecisionPolicy(QSql::LowPrecisionDouble);
    bool ok = keys.exec(ownKeys(columns)) ||
              failWith(error, QStringLiteral("key selection"), keys.lastError());
    const int count = int(columns.count(QLatin1Char(','))) + 2;
    while (ok && keys.next()) {
        for (int column = 0; column < count; ++column)
            insert.bindValue(column, keys.value(column));
        ok = insert.exec() || failWith(error, QStringLiteral("key copy"), insert.lastError());
    }
    if (ok && keys.lastError().isValid())
        ok = failWith(error, QStringLiteral("key selection"), keys.lastError());
    keys.finish();
    return ok;
}

} // namespace

QString encodingOf(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    return query.exec(QStringLiteral("PRAGMA encoding")) && query.next() ? query.value(0).toString()
                                                                         : QString();
}

bool write(const QSqlDatabase &current, const QStringList &rcids, const QString &columns,
           const QString &encoding, const QString &kconvAffinity, const QString &path,
           QString *error)
{
    // Declared column by column from what the user's columns are: a WITHOUT ROWID table, a
    // check or a key of the user's would only get in the way of a scratch copy.
    QStringList declared;
    for (const QString &column : columns.split(QLatin1Char(','))) {
        const QString affinity = DatabaseLayout::affinity(current, QStringLiteral("main"),
                                                          QStringLiteral("rckeys"), column);
        if (affinity.isEmpty()) {
            *error = QStringLiteral("user's rckeys has no column ") + column;
            return false;
        }
        declared << column + QLatin1Char(' ') + affinity +
                        DatabaseLayout::collateClause(current, QStringLiteral("main"),
                                                      QStringLiteral("rckeys"), column);
    }
    const QString createKeys = QStringLiteral("CREATE TABLE rckeys(") +
                               declared.join(QLatin1Char(',')) + QStringLiteral(",kconv ") +
                               kconvAffinity + QStringLiteral(")");
    const bool sameEncoding = encodingOf(current) == encoding;

    QFile::remove(path);
    QFile::remove(path + QStringLiteral("-journal"));
    SqlConnection scratch(QStringLiteral("kx-own-keys"), path);
    if (!scratch.open()) {
        *error = QStringLiteral("scratch: ") + scratch.errorString();
        return false;
    }
    QSqlDatabase db = scratch.database();
    {
        QSqlQuery setup(db);
        // The encoding must be set before anything is written; the file is thrown away after
        // the merge, so nothing waits for the disk.
        for (const QString &statement : {QStringLiteral("PRAGMA encoding = '%1'").arg(encoding),
                                         QStringLiteral("PRAGMA journal_mode = OFF"),
                                         QStringLiteral("PRAGMA synchronous = OFF"), createKeys}) {
            if (!setup.exec(statement))
                return failWith(error, QStringLiteral("scratch"), setup.lastError());
        }
    }
    if (encodingOf(db) != encoding) {
        *error = QStringLiteral("scratch: not in ") + encoding;
        return false;
    }
    if (!stageRcids(current, rcids, error)) {
        dropRcids(current);
        return false;
    }
    bool ok = false;
    if (sameEncoding) {
        scratch.close();
        ok = copyInSql(current, columns, path, error);
    } else {
        db.transaction();
        {
            QSqlQuery insert(db);
            ok = insert.prepare(QStringLiteral("INSERT INTO rckeys(") + withKconv(columns) +
                                QStringLiteral(") VALUES (") + placeholders(withKconv(columns)) +
                                QStringLiteral(")")) ||
                 failWith(error, QStringLiteral("key copy"), insert.lastError());
            ok = ok && copyRowByRow(current, columns, insert, error);
        }
        if (ok)
            ok = db.commit() || failWith(error, QStringLiteral("key copy"), db.lastError());
        else
            db.rollback();
    }
    dropRcids(current);
    return ok;
}

} // namespace OwnKeyCopy
