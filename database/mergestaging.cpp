#include "database/mergestaging.h"

#include <iterator>

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include "database/databaselayout.h"
#include "database/keynumber.h"
#include "database/ownrcidrange.h"
#include "database/rcidrows.h"
#include "database/rowidranges.h"
#include "database/stepprogress.h"

namespace {

const QString secondModelColumns = TableLayout::modelColumnList(Generation::Second);
// A first-generation model has no Hidden1 or Prot to give: the release's defaults apply.
const QString firstInsertColumns = TableLayout::sharedModelColumnList();
const QString keyColumns = TableLayout::keyColumnList(Generation::Second);
const QString firstKeyColumns = TableLayout::keyColumnList(Generation::First);

constexpr int secondModelValues = int(std::size(TableLayout::modelColumns));
constexpr int firstRcTypeColumn = TableLayout::sharedModelColumns;

// A NULL reads as '' and must be written as '', never as NULL: Qt binds a null QString as NULL.
QString textOf(const QVariant &value)
{
    const QString text = value.toString();
    return text.isNull() ? QStringLiteral("") : text;
}

// Stored names of brands, models and keys have never held a single quote; stripping keeps
// new rows like the old ones.
QString withoutQuotes(const QVariant &value)
{
    return textOf(value).remove(QLatin1Char('\''));
}

bool isFilteredModelColumn(int column)
{
    return column >= 1 && column <= 4;
}

QString placeholders(int count)
{
    QStringList marks;
    for (int i = 0; i < count; ++i)
        marks << QStringLiteral("?");
    return marks.join(QLatin1Char(','));
}

// The text a key value reads as, in SQL: exact for NULL, integers and text, which is all that
// moves in SQL.
QString sqlText(const QString &column)
{
    return QStringLiteral("ifnull(CAST(x.%1 AS TEXT),'')").arg(column);
}

// The text without its single quotes, as withoutQuotes() makes it; replace() reads its value as
// text itself, whatever the column.
QString withoutQuotesInSql(const QString &column)
{
    return QStringLiteral("replace(ifnull(x.%1,''),'''','')").arg(column);
}

} // namespace

MergeStaging::MergeStaging(const QSqlDatabase &target, Generation generation)
    : m_target(target), m_generation(generation)
{}

MergeStaging::~MergeStaging()
{
    QSqlQuery target(m_target);
    for (const char *table : {"kx_order", "kx_stage_models", "kx_stage_keys"})
        target.exec(QStringLiteral("DROP TABLE IF EXISTS temp.") + QLatin1String(table));
}

bool MergeStaging::failAt(const QString &what, const QString &text)
{
    return failBecause(what + QStringLiteral(": ") + text);
}

bool MergeStaging::prepareQuery(QSqlQuery &query, const QString &statement)
{
    return query.prepare(statement) || failAt(statement, query.lastError().text());
}

bool MergeStaging::run(QSqlQuery &query, const QString &what)
{
    return query.exec() || failAt(what, query.lastError().text());
}

bool MergeStaging::execute(const QString &statement, const QString &what)
{
    QSqlQuery query(m_target);
    return query.exec(statement) || failAt(what, query.lastError().text());
}

// kx_order holds each own model's Rcid with its position: as bound text (matched against the
// current keys exactly as a quoted literal would be) and as the release's model and key
// columns store it (what a later delete by that Rcid would meet). The staging tables copy the
// release's column affinities for the same reason.
bool MergeStaging::prepareOrder(const QStringList &rcids)
{
    const bool first = m_generation == Generation::First;
    const QString modelColumns = first ? firstInsertColumns : secondModelColumns;
    // CREATE TABLE ... AS copies affinities but not collations; those are given where the staged
    // values are compared.
    const QString rcid = QStringLiteral("Rcid");
    m_modelCollate = DatabaseLayout::collateClause(m_target, QStringLiteral("main"),
                                                   QStringLiteral("rcmodels"), rcid);
    m_keyCollate = DatabaseLayout::collateClause(m_target, QStringLiteral("main"),
                                                 QStringLiteral("rckeys"), rcid);
    const QStringList statements = {
        QStringLiteral("CREATE TEMP TABLE kx_order AS SELECT 0 AS seq, NULL AS rcid, m.Rcid AS m, "
                       "k.Rcid AS k, 1 AS last FROM main.rcmodels m, main.rckeys k LIMIT 0"),
        QStringLiteral("CREATE TEMP TABLE kx_stage_models AS SELECT 0 AS seq, ") + modelColumns +
            QStringLiteral(" FROM main.rcmodels LIMIT 0"),
        QStringLiteral("CREATE TEMP TABLE kx_stage_keys AS SELECT 0 AS seq, ") + keyColumns +
            QStringLiteral(" FROM main.rckeys LIMIT 0"),
    };
    const QStringList orderIndexes = {
        QStringLiteral("CREATE INDEX temp.kx_order_rcid ON kx_order(rcid)"),
        QStringLiteral("CREATE INDEX temp.kx_order_m ON kx_order(m%1, seq)").arg(m_modelCollate),
        QStringLiteral("CREATE INDEX temp.kx_order_k ON kx_order(k%1, seq)").arg(m_keyCollate),
        // Whether no later own model's Rcid meets this one's where the release's keys store it:
        // a key filed under exactly that Rcid stays, without a look for each of its keys.
        QStringLiteral("UPDATE temp.kx_order SET last = NOT EXISTS (SELECT 1 FROM temp.kx_order b "
                       "WHERE b.k = kx_order.k%1 AND b.seq > kx_order.seq)")
            .arg(m_keyCollate),
    };
    for (const QString &statement : statements) {
        if (!execute(statement, QStringLiteral("staging")))
            return false;
    }
    // Inserted in seq order: scanning kx_order by rowid gives the own models' order. The Rcid
    // goes in three times, each taking the affinity of the column it is compared with.
    RcidRows order;
    if (!order.insert(
            m_target,
            QStringLiteral("INSERT INTO temp.kx_order(seq,rcid,m,k) VALUES (?1,?2,?2,?2)"), rcids))
        return failBecause(order.errorString());
    for (const QString &statement : orderIndexes) {
        if (!execute(statement, QStringLiteral("key selection")))
            return false;
    }
    return true;
}

void MergeStaging::useCopy(bool plainKeys)
{
    m_currentKeyCollate = DatabaseLayout::collateClause(
        m_target, QStringLiteral("kx_current"), QStringLiteral("rckeys"), QStringLiteral("Rcid"));
    // Second-generation keys move in one statement when every value reads as text the same way
    // in SQL as through Qt; reals and blobs (spelled differently) take the row-by-row way.
    m_keysInSql = m_generation == Generation::Second && plainKeys;
}

// What the per-model order writes for a value read through Qt: its text, '' for NULL. Where the
// release's column has an affinity, the value itself becomes what its text would (for the NULLs,
// integers and texts that move in SQL); a column without one keeps what it is given.
QString MergeStaging::written(const QString &table, const QString &column) const
{
    return DatabaseLayout::affinity(m_target, QStringLiteral("main"), table, column) ==
                   QLatin1String("BLOB")
               ? sqlText(column)
               : QStringLiteral("ifnull(x.%1,'')").arg(column);
}

// The own models move in one statement when the copy of the user's rows holds them all, in the
// order their Rcids were read, and every value reads as text the same way in SQL as through Qt.
bool MergeStaging::modelsMoveInSql(int expectedRows)
{
    QStringList odd;
    for (const QString &column : secondModelColumns.split(QLatin1Char(',')))
        odd << QStringLiteral("typeof(%1) IN ('real','blob')").arg(column);
    QSqlQuery query(m_target);
    return query.exec(
               QStringLiteral(
                   "SELECT (SELECT count(*) FROM kx_current.rcmodels) = %1 AND NOT EXISTS (SELECT "
                   "1 FROM kx_current.rcmodels WHERE %2) AND NOT EXISTS (SELECT 1 FROM "
                   "kx_current.rcmodels x JOIN temp.kx_order o ON o.rowid = x.rowid WHERE %3 IS "
                   "NOT o.rcid)")
                   .arg(expectedRows)
                   .arg(odd.join(QStringLiteral(" OR ")), sqlText(QStringLiteral("Rcid")))) &&
           query.next() && query.value(0).toInt() == 1;
}

bool MergeStaging::stageModelsInSql()
{
    const QStringList columns = secondModelColumns.split(QLatin1Char(','));
    QStringList values;
    for (int column = 0; column < columns.size(); ++column) {
        values << (isFilteredModelColumn(column)
                       ? withoutQuotesInSql(columns.at(column))
                       : written(QStringLiteral("rcmodels"), columns.at(column)));
    }
    return execute(QStringLiteral("INSERT INTO temp.kx_stage_models(seq,") + secondModelColumns +
                       QStringLiteral(") SELECT x.rowid - 1,") + values.join(QLatin1Char(',')) +
                       QStringLiteral(" FROM kx_current.rcmodels x ORDER BY x.rowid"),
                   QStringLiteral("model insert"));
}

bool MergeStaging::stage(QSqlQuery &models, bool copy, int expectedRows, StepProgress &progress)
{
    if (copy && m_keysInSql && modelsMoveInSql(expectedRows)) {
        if (!stageModelsInSql())
            return false;
        // Each model still has its step, as when they are staged one by one.
        for (int model = 0; model < expectedRows; ++model)
            progress.advance();
        return true;
    }
    const bool first = m_generation == Generation::First;
    const QString modelColumns = first ? firstInsertColumns : secondModelColumns;
    const int modelValues = first ? firstRcTypeColumn : secondModelValues;
    const bool keysRowByRow = copy && !m_keysInSql;
    // Where the values go in the staging inserts: the model's position first, then the columns
    // in the order of the tables' layout.
    constexpr int seqPosition = 0;
    constexpr int firstModelValue = 1;
    enum KeyValue { KeySeq, KeyRcid, KeyType, KeyName, KeyId, KeyNumber };
    // The key columns as each generation's copy has them.
    enum SecondKey { SecondRcid, SecondType, SecondName, SecondId, SecondNumber };
    enum FirstKey { FirstRcid, FirstPositionCode, FirstName, FirstId };

    QSqlQuery insertModel(m_target);
    QSqlQuery selectKeys(m_target);
    QSqlQuery insertKey(m_target);
    selectKeys.setForwardOnly(true);
    if (copy && !prepareQuery(insertModel, QStringLiteral("INSERT INTO temp.kx_stage_models(seq,") +
                                               modelColumns + QStringLiteral(") VALUES (") +
                                               placeholders(modelValues + 1) + QStringLiteral(")")))
        return false;
    if (keysRowByRow &&
        !(prepareQuery(selectKeys, QStringLiteral("SELECT ") +
                                       (first ? firstKeyColumns : keyColumns) +
                                       QStringLiteral(" FROM kx_current.rckeys WHERE Rcid = ?") +
                                       m_currentKeyCollate + QStringLiteral(" ORDER BY rowid")) &&
          prepareQuery(insertKey, QStringLiteral("INSERT INTO temp.kx_stage_keys(seq,") +
                                      keyColumns + QStringLiteral(") VALUES (?,?,?,?,?,?)"))))
        return false;

    if (!run(models, QStringLiteral("own models")))
        return false;
    int seq = 0;
    for (; models.next(); ++seq) {
        if (copy) {
            insertModel.bindValue(seqPosition, seq);
            for (int column = 0; column < modelValues; ++column) {
                const QVariant value = models.value(column);
                insertModel.bindValue(firstModelValue + column, isFilteredModelColumn(column)
                                                                    ? withoutQuotes(value)
                                                                    : textOf(value));
            }
            if (!run(insertModel, QStringLiteral("model insert")))
                return false;
        }
        if (keysRowByRow) {
            const QString rcType = first ? textOf(models.value(firstRcTypeColumn)) : QString();
            selectKeys.bindValue(0, textOf(models.value(0)));
            if (!run(selectKeys, QStringLiteral("key selection")))
                return false;
            while (selectKeys.next()) {
                insertKey.bindValue(KeySeq, seq);
                if (first) {
                    insertKey.bindValue(KeyRcid, textOf(selectKeys.value(FirstRcid)));
                    insertKey.bindValue(KeyType, rcType);
                    insertKey.bindValue(KeyName, withoutQuotes(selectKeys.value(FirstName)));
                    insertKey.bindValue(KeyId, textOf(selectKeys.value(FirstId)));
                    insertKey.bindValue(KeyNumber,
                                        KeyNumber::fromPositionCode(
                                            rcType, textOf(selectKeys.value(FirstPositionCode))));
                } else {
                    insertKey.bindValue(KeyRcid, textOf(selectKeys.value(SecondRcid)));
                    insertKey.bindValue(KeyType, textOf(selectKeys.value(SecondType)));
                    insertKey.bindValue(KeyName, withoutQuotes(selectKeys.value(SecondName)));
                    insertKey.bindValue(KeyId, textOf(selectKeys.value(SecondId)));
                    insertKey.bindValue(KeyNumber, textOf(selectKeys.value(SecondNumber)));
                }
                if (!run(insertKey, QStringLiteral("key insert")))
                    return false;
            }
            if (selectKeys.lastError().isValid())
                return failAt(QStringLiteral("key selection"), selectKeys.lastError().text());
        }
        progress.advance();
    }
    if (models.lastError().isValid())
        return failAt(QStringLiteral("own models"), models.lastError().text());
    // The rows were read once before, when their Rcids were taken; a second reading that ends
    // elsewhere carries over another set.
    if (seq != expectedRows)
        return failAt(QStringLiteral("own models"),
                      QStringLiteral("%1 selected, %2 read").arg(expectedRows).arg(seq));
    return true;
}

bool MergeStaging::executeByRanges(const QString &statement, const RowidRanges &ranges,
                                   const QString &rowid, const std::function<void()> &rangeDone)
{
    for (int i = 0; i < ranges.count(); ++i) {
        if (!execute(statement.arg(ranges.condition(i, rowid)), QStringLiteral("apply")))
            return false;
        rangeDone();
    }
    return true;
}

// The release's millions of keys go range by range.
bool MergeStaging::removeReleaseRows(const std::function<void(int done, int total)> &report)
{
    const RowidRanges releaseKeys(m_target, QStringLiteral("main.rckeys"));
    const int total = 1 + releaseKeys.count();
    int done = 0;
    const OwnRcidRange span(m_target, QStringLiteral("temp.kx_order"), QStringLiteral("rcid"));
    const auto ahead = [this, &span](const QString &table) {
        return span.ahead(DatabaseLayout::affinity(m_target, QStringLiteral("main"), table,
                                                   QStringLiteral("Rcid")));
    };
    if (!execute(QStringLiteral("DELETE FROM main.rcmodels WHERE ") +
                     ahead(QStringLiteral("rcmodels")) +
                     QStringLiteral("Rcid IN (SELECT rcid FROM temp.kx_order)"),
                 QStringLiteral("apply")))
        return false;
    report(++done, total);
    // The range goes where %1 stands, filled in per range.
    return executeByRanges(QStringLiteral("DELETE FROM main.rckeys WHERE (%1) AND ") +
                               ahead(QStringLiteral("rckeys")) +
                               QStringLiteral("Rcid IN (SELECT rcid FROM temp.kx_order)"),
                           releaseKeys, QStringLiteral("rowid"), [&] { report(++done, total); });
}

// A staged row goes in unless a later own model's Rcid meets it as the release stores it:
// exactly the rows that the per-model deletes would have left. The own keys go range by range,
// each range in the order one statement takes them.
bool MergeStaging::insert(StepProgress &progress, int insertedAt)
{
    const QString modelColumns =
        m_generation == Generation::First ? firstInsertColumns : secondModelColumns;
    const RowidRanges ownKeys(m_target,
                              m_keysInSql ? QStringLiteral("temp.kx_order")
                                          : QStringLiteral("temp.kx_stage_keys"),
                              m_keysInSql ? 2000 : 50000);
    progress.part(insertedAt, 1 + ownKeys.count());
    if (!execute(QStringLiteral("INSERT INTO main.rcmodels(") + modelColumns +
                     QStringLiteral(") SELECT ") + modelColumns +
                     QStringLiteral(" FROM temp.kx_stage_models s WHERE NOT EXISTS (SELECT 1 FROM "
                                    "temp.kx_order o WHERE o.m = s.Rcid%1 AND o.seq > s.seq) "
                                    "ORDER BY s.rowid")
                         .arg(m_modelCollate),
                 QStringLiteral("apply")))
        return false;
    progress.advance();
    // The range goes where %1 stands, filled in per range.
    if (m_keysInSql)
        return executeByRanges(
            QStringLiteral("INSERT INTO main.rckeys(") + keyColumns + QStringLiteral(") SELECT ") +
                written(QStringLiteral("rckeys"), QStringLiteral("Rcid")) + QStringLiteral(",") +
                written(QStringLiteral("rckeys"), QStringLiteral("RCTypeId")) +
                QStringLiteral(",") + withoutQuotesInSql(QStringLiteral("Name")) +
                QStringLiteral(",") + written(QStringLiteral("rckeys"), QStringLiteral("ID")) +
                QStringLiteral(",") + written(QStringLiteral("rckeys"), QStringLiteral("Nkey")) +
                QStringLiteral(" FROM temp.kx_order o JOIN kx_current.rckeys x ON x.Rcid = "
                               "o.rcid") +
                m_currentKeyCollate +
                QStringLiteral(" WHERE (%1) AND CASE WHEN x.kconv IS o.k THEN o.last ELSE NOT "
                               "EXISTS (SELECT 1 FROM temp.kx_order b WHERE b.k = x.kconv") +
                m_keyCollate + QStringLiteral(" AND b.seq > o.seq) END ORDER BY o.rowid, x.rowid"),
            ownKeys, QStringLiteral("o.rowid"), [&progress] { progress.advance(); });
    return executeByRanges(QStringLiteral("INSERT INTO main.rckeys(") + keyColumns +
                               QStringLiteral(") SELECT ") + keyColumns +
                               QStringLiteral(" FROM temp.kx_stage_keys s WHERE (%1) AND NOT "
                                              "EXISTS (SELECT 1 FROM temp.kx_order o WHERE o.k = "
                                              "s.Rcid") +
                               m_keyCollate +
                               QStringLiteral(" AND o.seq > s.seq) ORDER BY s.rowid"),
                           ownKeys, QStringLiteral("s.rowid"), [&progress] { progress.advance(); });
}
