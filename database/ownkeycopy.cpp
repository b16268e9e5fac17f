#include "database/ownkeycopy.h"

#include <optional>
#include <system_error>

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

struct Statement
{
    QString what;
    QByteArray sql;
};

// Runs the statements in turn on the connection, counting each one done: the reason of the
// first that fails, empty when all succeed.
QString runAll(sqlite3 *connection, const QList<Statement> &statements, std::atomic<qint64> *done)
{
    for (const Statement &statement : statements) {
        char *message = nullptr;
        if (sqlite3_exec(connection, statement.sql.constData(), nullptr, nullptr, &message) !=
            SQLITE_OK) {
            const QString reason = statement.what + QStringLiteral(": ") +
                                   QString::fromUtf8(message ? message : "failed");
            sqlite3_free(message);
            return reason;
        }
        ++*done;
    }
    return {};
}

} // namespace

bool OwnKeyCopy::failAt(const QString &what, const QSqlError &error)
{
    return failBecause(what + QStringLiteral(": ") + error.text());
}

OwnKeyCopy::~OwnKeyCopy()
{
    // A copy that nobody waits for any more is stopped where it stands.
    if (m_copy.valid()) {
        if (m_handle)
            sqlite3_interrupt(m_handle);
        m_copy.wait();
    }
    releaseCurrent();
    detach();
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

void OwnKeyCopy::releaseCurrent()
{
    if (!m_holdsCurrent)
        return;
    m_holdsCurrent = false;
    QSqlQuery query(m_current);
    query.exec(QStringLiteral("DETACH DATABASE kx_copy"));
    noteOddValues(false);
    query.exec(QStringLiteral("DROP TABLE IF EXISTS temp.kx_copy_rcids"));
}

// Only for the copy's statements, which use it in their result columns: it runs once per key
// copied, never for the rows only looked at.
bool OwnKeyCopy::noteOddValues(bool on)
{
    const bool done = m_handle && sqlite3_create_function_v2(
                                      m_handle, noteOddName, -1, SQLITE_UTF8 | SQLITE_DIRECTONLY,
                                      on ? &m_oddValues : nullptr, on ? noteOdd : nullptr, nullptr,
                                      nullptr, nullptr) == SQLITE_OK;
    return done || !on || failBecause(QStringLiteral("key copy: no function to tell values apart"));
}

// A few statements, the scratch file attached to the user's connection for as long as they take.
// They run on a thread of their own, beside the caller's work on the release's connection: SQLite
// lets two connections work at once, unless it was built without threads.
bool OwnKeyCopy::startInSql(const QString &columns)
{
    QSqlQuery query(m_current);
    if (!query.prepare(QStringLiteral("ATTACH DATABASE ? AS kx_copy")) ||
        (query.bindValue(0, m_path), !query.exec()))
        return failAt(QStringLiteral("scratch"), query.lastError());
    if (!query.exec(QStringLiteral("PRAGMA kx_copy.journal_mode = OFF")) ||
        !query.exec(QStringLiteral("PRAGMA kx_copy.synchronous = OFF")))
        return failAt(QStringLiteral("key copy"), query.lastError());
    query.finish();
    // Millions of keys are read range by range, in the order one scan takes.
    const RowidRanges ranges(m_current, QStringLiteral("main.rckeys"), 250000);
    QList<Statement> statements;
    for (int i = 0; i < ranges.count(); ++i)
        statements << Statement{
            QStringLiteral("key copy"),
            (QStringLiteral("INSERT INTO kx_copy.rckeys(") + withKconv(columns) +
             QStringLiteral(") ") +
             ownKeys(columns, m_ahead, ranges.condition(i, QStringLiteral("rowid"))))
                .toUtf8()};
    // The own models in the order the merge reads them.
    if (!m_modelColumns.isEmpty())
        statements << Statement{QStringLiteral("model copy"),
                                QStringLiteral("INSERT INTO kx_copy.rcmodels(%1) SELECT %1 FROM "
                                               "main.rcmodels WHERE Own = 1")
                                    .arg(m_modelColumns)
                                    .toUtf8()};
    statements << Statement{QStringLiteral("key index"),
                            QByteArrayLiteral("CREATE INDEX kx_copy.kx_keys_rcid ON rckeys(Rcid)")};
    m_parts = statements.size();
    sqlite3 *connection = m_handle;
    auto copy = [connection, statements, done = &m_done] {
        return runAll(connection, statements, done);
    };
    // A library built without threads, or no thread to be had, gets the copy here and now.
    if (sqlite3_threadsafe()) {
        try {
            m_copy = std::async(std::launch::async, copy);
            return true;
        } catch (const std::system_error &) {
        }
    }
    m_failure = copy();
    return true;
}

// Row by row through Qt, for a scratch file in another encoding than the user's: values keep
// their storage class on the way (integers, reals, texts, blobs, NULL).
bool OwnKeyCopy::copyRowByRow(const QString &columns)
{
    SqlConnection scratch(QStringLiteral("kx-own-keys"), m_path);
    if (!scratch.openOnly())
        return failBecause(QStringLiteral("scratch: ") + scratch.errorString());
    QSqlDatabase db = scratch.database();
    bool ok = db.transaction() || failAt(QStringLiteral("key copy"), db.lastError());
    {
        QSqlQuery insert(db);
        ok = ok && (insert.prepare(QStringLiteral("INSERT INTO rckeys(") + withKconv(columns) +
                                   QStringLiteral(") VALUES (") + placeholders(withKconv(columns)) +
                                   QStringLiteral(")")) ||
                    failAt(QStringLiteral("key copy"), insert.lastError()));
        QSqlQuery keys(m_current);
        keys.setForwardOnly(true);
        keys.setNumericalPrecisionPolicy(QSql::LowPrecisionDouble);
        ok = ok && (keys.exec(ownKeys(columns, m_ahead)) ||
                    failAt(QStringLiteral("key selection"), keys.lastError()));
        const int count = int(columns.count(QLatin1Char(','))) + 2;
        while (ok && keys.next()) {
            for (int column = 0; column < count; ++column)
                insert.bindValue(column, keys.value(column));
            ok = insert.exec() || failAt(QStringLiteral("key copy"), insert.lastError());
        }
        if (ok && keys.lastError().isValid())
            ok = failAt(QStringLiteral("key selection"), keys.lastError());
        keys.finish();
        ok = ok && (insert.exec(QStringLiteral("CREATE INDEX kx_keys_rcid ON rckeys(Rcid)")) ||
                    failAt(QStringLiteral("key index"), insert.lastError()));
    }
    if (ok)
        ok = db.commit() || failAt(QStringLiteral("key copy"), db.lastError());
    else
        db.rollback();
    m_done = 1;
    return ok;
}

QString OwnKeyCopy::encodingOf(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    return query.exec(QStringLiteral("PRAGMA encoding")) && query.next() ? query.value(0).toString()
                                                                         : QString();
}

bool OwnKeyCopy::start(const QSqlDatabase &target, const QStringList &rcids, const QString &columns)
{
    clearError();
    m_target = target;
    m_path = QFileInfo(target.databaseName()).absolutePath() + QStringLiteral("/current-keys.db");
    m_encoding = encodingOf(target);
    m_handle = SqlConnection::handle(m_current);
    const QString kconvAffinity = DatabaseLayout::affinity(
        target, QStringLiteral("main"), QStringLiteral("rckeys"), QStringLiteral("Rcid"));
    const bool sameEncoding = encodingOf(m_current) == m_encoding;
    m_holdsCurrent = true;
    if (createScratch(columns, kconvAffinity) && stageRcids(rcids) && noteOddValues(true) &&
        (sameEncoding ? startInSql(columns) : copyRowByRow(columns)))
        return true;
    releaseCurrent();
    detach();
    return failBecause(QStringLiteral("own keys in ") + m_encoding + QStringLiteral(": ") +
                       errorString());
}

bool OwnKeyCopy::wait(std::chrono::milliseconds timeout)
{
    if (m_copy.valid()) {
        if (m_copy.wait_for(timeout) != std::future_status::ready)
            return false;
        m_failure = m_copy.get();
    }
    releaseCurrent();
    return true;
}

bool OwnKeyCopy::attach()
{
    while (!wait(std::chrono::seconds(1))) {
    }
    if (!m_failure.isEmpty()) {
        detach();
        return failBecause(QStringLiteral("own keys in ") + m_encoding + QStringLiteral(": ") +
                           m_failure);
    }
    // The target only reads the copy.
    QSqlQuery attach(m_target);
    if (attach.prepare(QStringLiteral("ATTACH DATABASE ? AS kx_current")) &&
        (attach.bindValue(0, m_path), attach.exec()))
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

// The scratch file with its tables, in the release's encoding, which must be set before anything
// is written. The file is thrown away after the merge, so nothing waits for the disk.
bool OwnKeyCopy::createScratch(const QString &columns, const QString &kconvAffinity)
{
    m_oddValues = false;
    QStringList setup = {QStringLiteral("PRAGMA encoding = '%1'").arg(m_encoding),
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
    QFile::remove(m_path);
    QFile::remove(m_path + QStringLiteral("-journal"));
    SqlConnection scratch(QStringLiteral("kx-own-keys"), m_path);
    if (!scratch.open())
        return failBecause(QStringLiteral("scratch: ") + scratch.errorString());
    QSqlDatabase db = scratch.database();
    QSqlQuery query(db);
    for (const QString &statement : std::as_const(setup)) {
        if (!query.exec(statement))
            return failAt(QStringLiteral("scratch"), query.lastError());
    }
    return encodingOf(db) == m_encoding ||
           failBecause(QStringLiteral("scratch: not in ") + m_encoding);
}
