#include "database/ownmodelmerge.h"

#include <iterator>

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include "common/contract.h"
#include "common/logging.h"
#include "database/keynumber.h"
#include "database/ownkeycopy.h"
#include "database/rowidranges.h"
#include "database/stepprogress.h"

namespace {

constexpr int progressStart = Contract::Progress::unpacked;
constexpr int progressEnd = Contract::Progress::merged;
// Where each part of the merge takes the bar, in proportion to what it costs a large catalogue:
// the copy of the own keys, the own models one by one, the removal of the release's rows, and
// the insertion of the own ones.
constexpr int ownModelsReadAt = 320;
constexpr int keysCopiedAt = 480;
constexpr int stagingReadyAt = 510;
constexpr int modelsStagedAt = 560;
constexpr int releaseRowsRemovedAt = 630;

const QString secondModelColumns = TableLayout::modelColumnList(Generation::Second);
const QString firstModelColumns = TableLayout::modelColumnList(Generation::First);
// A first-generation model has no Hidden1 or Prot to give: the release's defaults apply.
const QString firstInsertColumns = TableLayout::sharedModelColumnList();
const QString keyColumns = TableLayout::keyColumnList(Generation::Second);
const QString firstKeyColumns = TableLayout::keyColumnList(Generation::First);

constexpr int secondModelValues = int(std::size(TableLayout::modelColumns));
constexpr int firstRcTypeColumn = TableLayout::sharedModelColumns;
constexpr int keyNameColumn = 2;

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
// keysConvertInSql() lets through.
QString sqlText(const QString &column)
{
    return QStringLiteral("ifnull(CAST(x.%1 AS TEXT),'')").arg(column);
}

} // namespace

OwnModelMerge::OwnModelMerge(const QSqlDatabase &current, const QSqlDatabase &target,
                             QObject *parent)
    : QObject(parent), m_current(current), m_target(target), m_keyCopy(current)
{}

bool OwnModelMerge::failAt(const QString &what, const QString &text)
{
    return failBecause(what + QStringLiteral(": ") + text);
}

bool OwnModelMerge::prepare(QSqlQuery &query, const QString &statement)
{
    return query.prepare(statement) || failAt(statement, query.lastError().text());
}

bool OwnModelMerge::execute(QSqlQuery &query, const QString &what)
{
    return query.exec() || failAt(what, query.lastError().text());
}

bool OwnModelMerge::execute(const QString &statement, const QString &what)
{
    QSqlQuery query(m_target);
    return query.exec(statement) || failAt(what, query.lastError().text());
}

bool OwnModelMerge::run(bool copyOwnModels)
{
    clearError();
    if (!DatabaseLayout::hasProtColumn(m_current) && m_beforeChangingCurrent &&
        !m_beforeChangingCurrent())
        return failAt(QStringLiteral("Prot"),
                      QStringLiteral("the current database may not change"));
    DatabaseLayout::addProtColumn(m_current);

    int ownCount = 0;
    {
        QSqlQuery count(m_current);
        if (!count.exec(QStringLiteral("SELECT count(Rcid) FROM rcmodels WHERE Own= '1'")))
            return failAt(QStringLiteral("count"), count.lastError().text());
        if (count.next())
            ownCount = count.value(0).toInt();
        else if (count.lastError().isValid())
            return failAt(QStringLiteral("count"), count.lastError().text());
    }
    m_generation = DatabaseLayout::generation(m_current);
    qCDebug(lcDatabase) << "Own models:" << ownCount
                        << "first generation:" << (m_generation == Generation::First);

    QSqlQuery models(m_current);
    models.setForwardOnly(true);
    if (!models.prepare(
            QStringLiteral("SELECT ") +
            (m_generation == Generation::First ? firstModelColumns : secondModelColumns) +
            QStringLiteral(" FROM rcmodels WHERE Own = 1")))
        return failAt(QStringLiteral("own models"), models.lastError().text());

    QStringList rcids;
    if (!readOwnRcids(models, &rcids))
        return false;
    // The count and the selection compare Own differently, as text and as a number. A model
    // that only the count sees (an Own column without a type, holding the text '1') would be
    // left behind: nothing is carried over rather than some of the own models. More rows than
    // counted (NULL Rcids, which count() skips) lose nothing; they set the pace themselves.
    if (!allCountedSelected(ownCount, int(rcids.size())))
        return false;
    const bool staging = copyOwnModels && !rcids.isEmpty();
    StepProgress progress(progressStart, progressEnd, [this](int current) {
        emit this->progress(current, Contract::Progress::total);
    });
    m_keyCopy.setProgress([&progress](qint64 done, qint64 total) { progress.reach(done, total); });
    if (staging) {
        progress.part(ownModelsReadAt, 1);
        progress.part(keysCopiedAt, 1);
    }
    if (staging && !attachCurrent(rcids))
        return false;
    if (!m_target.transaction()) {
        const QString text = m_target.lastError().text();
        m_keyCopy.detach();
        return failAt(QStringLiteral("begin"), text);
    }
    if (staging)
        progress.part(stagingReadyAt, 1);
    const bool ready = !staging || prepareStaging(rcids);
    progress.part(staging ? modelsStagedAt : progressEnd, rcids.size());
    const bool merged = ready && stageModels(models, staging, int(rcids.size()), progress) &&
                        (!staging || applyStaging(progress));
    models.finish();
    dropTemporaryTables();
    bool committed = false;
    if (merged) {
        committed = m_target.commit();
        if (!committed)
            failAt(QStringLiteral("commit"), m_target.lastError().text());
    }
    if (!committed)
        m_target.rollback();
    m_keyCopy.detach();
    if (committed && !rcids.isEmpty())
        progress.finish();
    return committed;
}

bool OwnModelMerge::readOwnRcids(QSqlQuery &models, QStringList *rcids)
{
    if (!execute(models, QStringLiteral("own models")))
        return false;
    while (models.next())
        rcids->append(textOf(models.value(0)));
    // next() is false at the end and at a damaged page alike.
    const QSqlError error = models.lastError();
    models.finish();
    return !error.isValid() || failAt(QStringLiteral("own models"), error.text());
}

bool OwnModelMerge::allCountedSelected(int counted, int selected)
{
    QSqlQuery missed(m_current);
    if (!missed.exec(
            QStringLiteral("SELECT count(*) FROM rcmodels WHERE Own = '1' AND NOT (Own = 1)")) ||
        !missed.next())
        return failAt(QStringLiteral("own models"), missed.lastError().text());
    const int notSelected = missed.value(0).toInt();
    if (notSelected == 0 && selected >= counted)
        return true;
    return failAt(QStringLiteral("own models"),
                  QStringLiteral("%1 counted, %2 selected, %3 of them only as text")
                      .arg(counted)
                      .arg(selected)
                      .arg(notSelected));
}

// The user's file is held by its own connection alone, which no other connection may share: the
// own keys are copied through it into a scratch file beside the release, in the release's text
// encoding, and that file is attached to the release's connection in its place.
bool OwnModelMerge::attachCurrent(const QStringList &rcids)
{
    if (m_keyCopy.attachTo(m_target, rcids,
                           m_generation == Generation::First ? firstKeyColumns : keyColumns))
        return true;
    // The reason names the step ("own keys in …", "attach").
    return failBecause(m_keyCopy.errorString());
}

// kx_order holds each own model's Rcid with its position: as bound text (matched against the
// current keys exactly as a quoted literal would be) and as the release's model and key
// columns store it (what a later delete by that Rcid would meet). The staging tables copy the
// release's column affinities for the same reason.
bool OwnModelMerge::prepareStaging(const QStringList &rcids)
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
    m_currentKeyCollate = DatabaseLayout::collateClause(m_target, QStringLiteral("kx_current"),
                                                        QStringLiteral("rckeys"), rcid);
    const QStringList statements = {
        QStringLiteral("CREATE TEMP TABLE kx_order AS SELECT 0 AS seq, NULL AS rcid, m.Rcid AS m, "
                       "k.Rcid AS k FROM main.rcmodels m, main.rckeys k LIMIT 0"),
        QStringLiteral("CREATE TEMP TABLE kx_stage_models AS SELECT 0 AS seq, ") + modelColumns +
            QStringLiteral(" FROM main.rcmodels LIMIT 0"),
        QStringLiteral("CREATE TEMP TABLE kx_stage_keys AS SELECT 0 AS seq, ") + keyColumns +
            QStringLiteral(" FROM main.rckeys LIMIT 0"),
    };
    for (const QString &statement : statements) {
        if (!execute(statement, QStringLiteral("staging")))
            return false;
    }
    QSqlQuery order(m_target);
    if (!prepare(order, QStringLiteral("INSERT INTO temp.kx_order(seq,rcid,m,k) VALUES (?,?,?,?)")))
        return false;
    // Inserted in seq order: scanning kx_order by rowid gives the own models' order.
    for (int seq = 0; seq < rcids.size(); ++seq) {
        order.bindValue(0, seq);
        for (int column = 1; column <= 3; ++column)
            order.bindValue(column, rcids.at(seq));
        if (!execute(order, QStringLiteral("own Rcids")))
            return false;
    }
    const QStringList indexes = {
        QStringLiteral("CREATE INDEX temp.kx_order_rcid ON kx_order(rcid)"),
        QStringLiteral("CREATE INDEX temp.kx_order_m ON kx_order(m%1, seq)").arg(m_modelCollate),
        QStringLiteral("CREATE INDEX temp.kx_order_k ON kx_order(k%1, seq)").arg(m_keyCollate),
        // The own keys, copied from the user's file with kconv (see OwnKeyCopy), looked up by
        // Rcid as the user's keys compare it.
        QStringLiteral("CREATE INDEX kx_current.kx_keys_rcid ON rckeys(Rcid)"),
    };
    for (const QString &statement : indexes) {
        if (!execute(statement, QStringLiteral("key selection")))
            return false;
    }
    m_keysInSql = !first && keysConvertInSql();
    return true;
}

// Second-generation keys move in one statement when every value reads as text the same way in
// SQL as through Qt; reals and blobs (spelled differently) take the row-by-row way.
bool OwnModelMerge::keysConvertInSql()
{
    QSqlQuery query(m_target);
    QStringList conditions;
    for (const QString &column : keyColumns.split(QLatin1Char(',')))
        conditions << QStringLiteral("typeof(%1) IN ('real','blob')").arg(column);
    return query.exec(QStringLiteral("SELECT EXISTS (SELECT 1 FROM kx_current.rckeys WHERE ") +
                      conditions.join(QStringLiteral(" OR ")) + QStringLiteral(")")) &&
           query.next() && query.value(0).toInt() == 0;
}

bool OwnModelMerge::stageModels(QSqlQuery &models, bool copy, int expectedRows,
                                StepProgress &progress)
{
    const bool first = m_generation == Generation::First;
    const QString modelColumns = first ? firstInsertColumns : secondModelColumns;
    const int modelValues = first ? firstRcTypeColumn : secondModelValues;
    const bool keysRowByRow = copy && !m_keysInSql;

    QSqlQuery insertModel(m_target);
    QSqlQuery selectKeys(m_target);
    QSqlQuery insertKey(m_target);
    selectKeys.setForwardOnly(true);
    if (copy && !prepare(insertModel, QStringLiteral("INSERT INTO temp.kx_stage_models(seq,") +
                                          modelColumns + QStringLiteral(") VALUES (") +
                                          placeholders(modelValues + 1) + QStringLiteral(")")))
        return false;
    if (keysRowByRow &&
        !(prepare(selectKeys, QStringLiteral("SELECT ") + (first ? firstKeyColumns : keyColumns) +
                                  QStringLiteral(" FROM kx_current.rckeys WHERE Rcid = ?") +
                                  m_currentKeyCollate + QStringLiteral(" ORDER BY rowid")) &&
          prepare(insertKey, QStringLiteral("INSERT INTO temp.kx_stage_keys(seq,") + keyColumns +
                                 QStringLiteral(") VALUES (?,?,?,?,?,?)"))))
        return false;

    if (!execute(models, QStringLiteral("own models")))
        return false;
    int seq = 0;
    for (; models.next(); ++seq) {
        if (copy) {
            insertModel.bindValue(0, seq);
            for (int column = 0; column < modelValues; ++column) {
                const QVariant value = models.value(column);
                insertModel.bindValue(column + 1, isFilteredModelColumn(column)
                                                      ? withoutQuotes(value)
                                                      : textOf(value));
            }
            if (!execute(insertModel, QStringLiteral("model insert")))
                return false;
        }
        if (keysRowByRow) {
            const QString rcType = first ? textOf(models.value(firstRcTypeColumn)) : QString();
            selectKeys.bindValue(0, textOf(models.value(0)));
            if (!execute(selectKeys, QStringLiteral("key selection")))
                return false;
            while (selectKeys.next()) {
                insertKey.bindValue(0, seq);
                insertKey.bindValue(1, textOf(selectKeys.value(0)));
                insertKey.bindValue(keyNameColumn + 1,
                                    withoutQuotes(selectKeys.value(keyNameColumn)));
                insertKey.bindValue(4, textOf(selectKeys.value(3)));
                if (first) {
                    insertKey.bindValue(2, rcType);
                    insertKey.bindValue(
                        5, KeyNumber::fromPositionCode(rcType, textOf(selectKeys.value(1))));
                } else {
                    insertKey.bindValue(2, textOf(selectKeys.value(1)));
                    insertKey.bindValue(5, textOf(selectKeys.value(4)));
                }
                if (!execute(insertKey, QStringLiteral("key insert")))
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

bool OwnModelMerge::executeByRanges(const QString &statement, const RowidRanges &ranges,
                                    const QString &rowid, StepProgress &progress)
{
    for (int i = 0; i < ranges.count(); ++i) {
        if (!execute(statement.arg(ranges.condition(i, rowid)), QStringLiteral("apply")))
            return false;
        progress.advance();
    }
    return true;
}

// A staged row survives unless a later own model's Rcid meets it as the release stores it:
// exactly the rows that the per-model deletes would have left. The release's millions of keys,
// and the own keys, go range by range, each range in the order one statement takes them.
bool OwnModelMerge::applyStaging(StepProgress &progress)
{
    const QString modelColumns =
        m_generation == Generation::First ? firstInsertColumns : secondModelColumns;
    const RowidRanges releaseKeys(m_target, QStringLiteral("main.rckeys"));
    progress.part(releaseRowsRemovedAt, 1 + releaseKeys.count());
    if (!execute(QStringLiteral("DELETE FROM main.rcmodels WHERE Rcid IN (SELECT rcid FROM "
                                "temp.kx_order)"),
                 QStringLiteral("apply")))
        return false;
    progress.advance();
    if (!executeByRanges(QStringLiteral("DELETE FROM main.rckeys WHERE (%1) AND Rcid IN (SELECT "
                                        "rcid FROM temp.kx_order)"),
                         releaseKeys, QStringLiteral("rowid"), progress))
        return false;

    const RowidRanges ownKeys(m_target,
                              m_keysInSql ? QStringLiteral("temp.kx_order")
                                          : QStringLiteral("temp.kx_stage_keys"),
                              m_keysInSql ? 2000 : 50000);
    progress.part(progressEnd, 1 + ownKeys.count());
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
                sqlText(QStringLiteral("Rcid")) + QStringLiteral(",") +
                sqlText(QStringLiteral("RCTypeId")) + QStringLiteral(",replace(") +
                sqlText(QStringLiteral("Name")) + QStringLiteral(",'''',''),") +
                sqlText(QStringLiteral("ID")) + QStringLiteral(",") +
                sqlText(QStringLiteral("Nkey")) +
                QStringLiteral(" FROM temp.kx_order o JOIN kx_current.rckeys x ON x.Rcid = "
                               "o.rcid") +
                m_currentKeyCollate +
                QStringLiteral(" WHERE (%1) AND NOT EXISTS (SELECT 1 FROM temp.kx_order b WHERE "
                               "b.k = x.kconv") +
                m_keyCollate + QStringLiteral(" AND b.seq > o.seq) ORDER BY o.rowid, x.rowid"),
            ownKeys, QStringLiteral("o.rowid"), progress);
    return executeByRanges(QStringLiteral("INSERT INTO main.rckeys(") + keyColumns +
                               QStringLiteral(") SELECT ") + keyColumns +
                               QStringLiteral(" FROM temp.kx_stage_keys s WHERE (%1) AND NOT "
                                              "EXISTS (SELECT 1 FROM temp.kx_order o WHERE o.k = "
                                              "s.Rcid") +
                               m_keyCollate +
                               QStringLiteral(" AND o.seq > s.seq) ORDER BY s.rowid"),
                           ownKeys, QStringLiteral("s.rowid"), progress);
}

void OwnModelMerge::dropTemporaryTables()
{
    QSqlQuery target(m_target);
    for (const char *table : {"kx_order", "kx_stage_models", "kx_stage_keys"})
        target.exec(QStringLiteral("DROP TABLE IF EXISTS temp.") + QLatin1String(table));
}
