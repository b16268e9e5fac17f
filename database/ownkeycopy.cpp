#include "database/ownkeycopy.h"

#include <optional>

#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <sqlite3.h>

#include "database/databaselayout.h"
#include "database/ownrcidrange.h"
#include "database/rcidrows.h"
#include "database/rowidranges.h"
#include "database/sqlconnection.h"

namespace {

QString placeholders(const QString &columns)
{
    return QStringLiteral("?,").repeated(columns.count(QLatin1Char(',')) + 1).chopped(1);
}

const char *const noteOddName = "kx_note_odd";

// kx_note_odd(result, value, ...): result, noting whether any value is a real or a blob.
void noteOdd(sqlite3_context *context, int count, sqlite3_value **values)
{
    bool *odd = static_cast<bool *>(sqlite3_user_data(context));
    for (int i = 1; i < count && !*odd; ++i) {
        const int type = sqlite3_value_type(values[i]);
        *odd = type == SQLITE_FLOAT || type == SQLITE_BLOB;
    }
    sqlite3_result_value(context, values[0]);
}

// The columns and kconv, the Rcid as text (which the column's affinity then converts), of the
// keys in a range of the table (see RowidRanges); ahead is the own Rcids' span (OwnRcidRange).
// Every key copied passes through kx_note_odd, which tells its values apart on the way.
QString ownKeys(const QString &columns, const QString &ahead,
                const QString &range = QStringLiteral("1"))
{
    return QStringLiteral("SELECT ") + columns + QStringLiteral(",") + QLatin1String(noteOddName) +
           QStringLiteral("(ifnull(CAST(Rcid AS TEXT),''),") + columns +
           QStringLiteral(") FROM main.rckeys WHERE (") + range + QStringLiteral(") AND ") + ahead +
           QStringLiteral("Rcid IN (SELECT rcid FROM temp.kx_copy_rcids)");
}

QString withKconv(const QString &columns)
{
    return columns + QStringLiteral(",kconv");
}

} // namespace

bool OwnKeyCopy::failAt(const QString &what, const QSqlError &error)
{
    return failBecause(what + QStringLiteral(": ") + error.text());
}

// The own Rcids in a temporary table of the user's connection, which leaves the file itself alone.
bool OwnKeyCopy::stageRcids(const QStringList &rcids)
{
    QSqlQuery query(m_current);
    if (!query.exec(QStringLiteral("CREATE TEMP TABLE kx_copy_rcids(rcid)")))
        return failAt(QStringLiteral("own Rcids"), query.lastError());
    RcidRows rows;
    if (!rows.insert(m_current, QStringLiteral("INSERT INTO temp.kx_copy_rcids(rcid) VALUES (?2)"),
                     rcids))
        return failBecause(rows.errorString());
    m_ahead =
        OwnRcidRange(m_current, QStringLiteral("temp.kx_copy_rcids"), QStringLiteral("rcid"))
            .ahead(DatabaseLayout::affinity(m_current, QStringLiteral("main"),
                                            QStringLiteral("rckeys"), QStringLiteral("Rcid")));
    return true;
}

void OwnKeyCopy::dropRcids()
{
    QSqlQuery query(m_current);
    query.exec(QStringLiteral("DROP TABLE IF EXISTS temp.kx_copy_rcids"));
}

// Only for the copy's statements, which use it in their result columns: it runs once per key
// copied, never for the rows only looked at.
bool OwnKeyCopy::noteOddValues(bool on)
{
    sqlite3 *connection = SqlConnection::handle(m_current);
    const bool done =
        connection &&
        sqlite3_create_function_v2(connection, noteOddName, -1, SQLITE_UTF8 | SQLITE_DIRECTONLY,
                                   on ? &m_oddValues : nullptr, on ? noteOdd : nullptr, nullptr,
                                   nullptr, nullptr) == SQLITE_OK;
    return done || !on || failBecause(QStringLiteral("key copy: no function to tell values apart"));
}

// In one statement, the scratch file attached to the user's connection for as long as it takes.
bool OwnKeyCopy::copyInSql(const QString &columns, const QString &path)
{
    QSqlQuery query(m_current);
    if (!query.prepare(QStringLiteral("ATTACH DATABASE ? AS kx_copy")) ||
        (query.bindValue(0, path), !query.exec()))
        return failAt(QStringLiteral("scratch"), query.lastError());
    bool ok = (query.exec(QStringLiteral("PRAGMA kx_copy.journal_mode = OFF")) &&
               query.exec(QStringLiteral("PRAGMA kx_copy.synchronous = OFF"))) ||
              failAt(QStringLiteral("key copy"), query.lastError());
    // Millions of keys are read range by range, in the order one scan takes.
    const RowidRanges ranges(m_current, QStringLiteral("main.rckeys"), 250000);
    for (int i = 0; ok && i < ranges.count(); ++i) {
        ok = query.exec(QStringLiteral("INSERT INTO kx_copy.rckeys(") + withKconv(columns) +
                        QStringLiteral(") ") +
                        ownKeys(columns, m_ahead, ranges.condition(i, QStringLiteral("rowid")))) ||
             failAt(QStringLiteral("key copy"), query.lastError());
        if (ok && m_progress)
            m_progress(i + 1, ranges.count());
    }
    // The own models in the order the merge reads them.
    if (ok && !m_modelColumns.isEmpty())
        ok = query.exec(QStringLiteral("INSERT INTO kx_copy.rcmodels(%1) SELECT %1 FROM "
                                       "main.rcmodels WHERE Own = 1")
                            .arg(m_modelColumns)) ||
             failAt(QStringLiteral("model copy"), query.lastError());
    query.exec(QStringLiteral("DETACH DATABASE kx_copy"));
    return ok;
}

// Row by row through Qt, for a scratch file in another encoding than the user's: values keep
// their storage class on the way (integers, reals, texts, blobs, NULL).
bool OwnKeyCopy::copyRowByRow(const QString &columns, QSqlQuery &insert)
{
    QSqlQuery keys(m_current);
    keys.setForwardOnly(true);
    keys.setNumericalPrecisionPolicy(QSql::LowPrecisionDouble);
    bool ok = keys.exec(ownKeys(columns, m_ahead)) ||
              failAt(QStringLiteral("key selection"), keys.lastError());
    const int count = int(columns.count(QLatin1Char(','))) + 2;
    while (ok && keys.next()) {
        for (int column = 0; column < count; ++column)
            insert.bindValue(column, keys.value(column));
        ok = insert.exec() || failAt(QStringLiteral("key copy"), insert.lastError());
    }
    if (ok && m_progress)
        m_progress(1, 1);
    if (ok && keys.lastError().isValid())
        ok = failAt(QStringLiteral("key selection"), keys.lastError());
    keys.finish();
    return ok;
}

QString OwnKeyCopy::encodingOf(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    return query.exec(QStringLiteral("PRAGMA encoding")) && query.next() ? query.value(0).toString()
                                                                         : QString();
}

bool OwnKeyCopy::attachTo(const QSqlDatabase &target, const QStringList &rcids,
                          const QString &columns)
{
    m_target = target;
    m_path = QFileInfo(target.databaseName()).absolutePath() + QStringLiteral("/current-keys.db");
    const QString encoding = encodingOf(target);
    const QString kconvAffinity = DatabaseLayout::affinity(
        target, QStringLiteral("main"), QStringLiteral("rckeys"), QStringLiteral("Rcid"));
    if (!write(rcids, columns, encoding, kconvAffinity, m_path)) {
        QFile::remove(m_path);
        return failBecause(QStringLiteral("own keys in ") + encoding + QStringLiteral(": ") +
                           errorString());
    }
    QSqlQuery attach(target);
    if ((attach.prepare(QStringLiteral("ATTACH DATABASE ? AS kx_current")) &&
         (attach.bindValue(0, m_path), attach.exec())) &&
        attach.exec(QStringLiteral("PRAGMA kx_current.journal_mode = OFF")) &&
        attach.exec(QStringLiteral("PRAGMA kx_current.synchronous = OFF")))
        return true;
    const QSqlError error = attach.lastError();
    detach();
    return failAt(QStringLiteral("attach"), error);
}

void OwnKeyCopy::detach()
{
    if (m_target.isValid()) {
        QSqlQuery detach(m_target);
        detach.exec(QStringLiteral("DETACH DATABASE kx_current"));
    }
    if (!m_path.isEmpty())
        QFile::remove(m_path);
    m_path.clear();
}

// Declared column by column from what the user's columns are: a WITHOUT ROWID table, a check or
// a key of the user's would only get in the way of a scratch copy.
std::optional<QString> OwnKeyCopy::declare(const QString &table, const QString &columns)
{
    QStringList declared;
    for (const QString &column : columns.split(QLatin1Char(','))) {
        const QString affinity =
            DatabaseLayout::affinity(m_current, QStringLiteral("main"), table, column);
        if (affinity.isEmpty()) {
            failBecause(QStringLiteral("user's ") + table + QStringLiteral(" has no column ") +
                        column);
            return std::nullopt;
        }
        declared << column + QLatin1Char(' ') + affinity +
                        DatabaseLayout::collateClause(m_current, QStringLiteral("main"), table,
                                                      column);
    }
    return declared.join(QLatin1Char(','));
}

bool OwnKeyCopy::write(const QStringList &rcids, const QString &columns, const QString &encoding,
                       const QString &kconvAffinity, const QString &path)
{
    clearError();
    m_oddValues = false;
    const QSqlDatabase &current = m_current;
    // The encoding must be set before anything is written; the file is thrown away after the
    // merge, so nothing waits for the disk.
    QStringList setup = {QStringLiteral("PRAGMA encoding = '%1'").arg(encoding),
                         QStringLiteral("PRAGMA journal_mode = OFF"),
                         QStringLiteral("PRAGMA synchronous = OFF")};
    const std::optional<QString> keys = declare(QStringLiteral("rckeys"), columns);
    if (!keys)
        return false;
    setup << QStringLiteral("CREATE TABLE rckeys(") + *keys + QStringLiteral(",kconv ") +
                 kconvAffinity + QStringLiteral(")");
    if (!m_modelColumns.isEmpty()) {
        const std::optional<QString> models = declare(QStringLiteral("rcmodels"), m_modelColumns);
        if (!models)
            return false;
        setup << QStringLiteral("CREATE TABLE rcmodels(") + *models + QStringLiteral(")");
    }
    const bool sameEncoding = encodingOf(current) == encoding;

    QFile::remove(path);
    QFile::remove(path + QStringLiteral("-journal"));
    SqlConnection scratch(QStringLiteral("kx-own-keys"), path);
    if (!scratch.open())
        return failBecause(QStringLiteral("scratch: ") + scratch.errorString());
    QSqlDatabase db = scratch.database();
    {
        QSqlQuery query(db);
        for (const QString &statement : std::as_const(setup)) {
            if (!query.exec(statement))
                return failAt(QStringLiteral("scratch"), query.lastError());
        }
    }
    if (encodingOf(db) != encoding)
        return failBecause(QStringLiteral("scratch: not in ") + encoding);
    if (!stageRcids(rcids) || !noteOddValues(true)) {
        dropRcids();
        return false;
    }
    bool ok = false;
    if (sameEncoding) {
        scratch.close();
        ok = copyInSql(columns, path);
    } else {
        db.transaction();
        {
            QSqlQuery insert(db);
            ok = insert.prepare(QStringLiteral("INSERT INTO rckeys(") + withKconv(columns) +
                                QStringLiteral(") VALUES (") + placeholders(withKconv(columns)) +
                                QStringLiteral(")")) ||
                 failAt(QStringLiteral("key copy"), insert.lastError());
            ok = ok && copyRowByRow(columns, insert);
        }
        if (ok)
            ok = db.commit() || failAt(QStringLiteral("key copy"), db.lastError());
        else
            db.rollback();
    }
    noteOddValues(false);
    dropRcids();
    return ok;
}
