#include "database/ownmodelmerge.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

#include "common/logging.h"
#include "database/keynumber.h"

namespace {

constexpr int progressTotal = 1000;
constexpr int progressStart = 300;
constexpr int progressSpan = 400;

const QString secondModelColumns = QStringLiteral(
    "Rcid,Brand,Type,Model,Documentation,Link,Author,Correction,Own,Hidden,Flag,Hidden1,Prot");
const QString firstModelColumns = QStringLiteral(
    "Rcid,Brand,Type,Model,Documentation,Link,Author,Correction,Own,Hidden,Flag,RCTypeId");
// A first-generation model has no Hidden1 or Prot to give: the release's defaults apply.
const QString firstInsertColumns =
    QStringLiteral("Rcid,Brand,Type,Model,Documentation,Link,Author,Correction,Own,Hidden,Flag");
const QString keyColumns = QStringLiteral("Rcid,RCTypeId,Name,ID,Nkey");
const QString firstKeyColumns = QStringLiteral("Rcid,PCB,Name,ID");

constexpr int firstRcTypeColumn = 11;
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

QString placeholders(const QString &columns)
{
    QStringList marks;
    for (int i = 0, n = int(columns.count(QLatin1Char(','))) + 1; i < n; ++i)
        marks << QStringLiteral("?");
    return marks.join(QLatin1Char(','));
}

} // namespace

OwnModelMerge::OwnModelMerge(const QSqlDatabase &current, const QSqlDatabase &target,
                             QObject *parent)
    : QObject(parent), m_current(current), m_target(target)
{}

bool OwnModelMerge::fail(const QString &what, const QString &text)
{
    m_error = what + QStringLiteral(": ") + text;
    qCDebug(lcDatabase).noquote() << "Merge failed at" << m_error;
    return false;
}

bool OwnModelMerge::prepare(QSqlQuery &query, const QString &statement)
{
    return query.prepare(statement) || fail(statement, query.lastError().text());
}

bool OwnModelMerge::execute(QSqlQuery &query, const QString &what)
{
    return query.exec() || fail(what, query.lastError().text());
}

bool OwnModelMerge::execute(const QSqlDatabase &db, const QString &statement, const QString &what)
{
    QSqlQuery query(db);
    return query.exec(statement) || fail(what, query.lastError().text());
}

bool OwnModelMerge::run(bool copyOwnModels)
{
    m_error.clear();
    dropTemporaryTables();
    DatabaseLayout::addProtColumn(m_current);

    int ownCount = 0;
    {
        QSqlQuery count(m_current);
        if (!count.exec(QStringLiteral("SELECT count(Rcid) FROM rcmodels WHERE Own= '1'")))
            return fail(QStringLiteral("count"), count.lastError().text());
        if (count.next())
            ownCount = count.value(0).toInt();
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
        return fail(QStringLiteral("own models"), models.lastError().text());

    QStringList rcids;
    if (!readOwnRcids(models, &rcids))
        return false;
    const bool staging = copyOwnModels && !rcids.isEmpty();
    if (staging && !collectOwnKeys(rcids)) {
        dropTemporaryTables();
        return false;
    }

    // The count and the selection compare Own differently; when the count says none while rows
    // come back, the rows themselves set the pace.
    const int divisor = ownCount > 0 ? ownCount : int(rcids.size());

    if (!m_target.transaction()) {
        dropTemporaryTables();
        return fail(QStringLiteral("begin"), m_target.lastError().text());
    }
    const bool merged = (!staging || prepareStaging(rcids)) &&
                        stageModels(models, staging, divisor) && (!staging || applyStaging());
    models.finish();
    dropTemporaryTables();
    if (!merged) {
        m_target.rollback();
        return false;
    }
    if (!m_target.commit()) {
        const QString text = m_target.lastError().text();
        m_target.rollback();
        return fail(QStringLiteral("commit"), text);
    }
    return true;
}

bool OwnModelMerge::readOwnRcids(QSqlQuery &models, QStringList *rcids)
{
    if (!execute(models, QStringLiteral("own models")))
        return false;
    while (models.next())
        rcids->append(textOf(models.value(0)));
    models.finish();
    return true;
}

// One pass over the current keys instead of one per own model; the copy keeps the columns'
// affinity, so looking a model's keys up in it matches the same rows as the keys table would.
bool OwnModelMerge::collectOwnKeys(const QStringList &rcids)
{
    const QString columns = m_generation == Generation::First ? firstKeyColumns : keyColumns;
    if (!execute(m_current, QStringLiteral("CREATE TEMP TABLE kx_own_rcid(Rcid)"),
                 QStringLiteral("own Rcids")))
        return false;
    QSqlQuery insert(m_current);
    if (!prepare(insert, QStringLiteral("INSERT INTO temp.kx_own_rcid(Rcid) VALUES (?)")))
        return false;
    for (const QString &rcid : rcids) {
        insert.bindValue(0, rcid);
        if (!execute(insert, QStringLiteral("own Rcids")))
            return false;
    }
    return execute(m_current,
                   QStringLiteral("CREATE TEMP TABLE kx_own_keys AS SELECT ") + columns +
                       QStringLiteral(" FROM main.rckeys WHERE Rcid IN (SELECT Rcid FROM "
                                      "temp.kx_own_rcid)"),
                   QStringLiteral("key selection")) &&
           execute(m_current,
                   QStringLiteral("CREATE INDEX temp.kx_own_keys_rcid ON kx_own_keys(Rcid)"),
                   QStringLiteral("key selection"));
}

// Staging tables take the release's column affinities, so that deleting by Rcid there matches
// exactly what deleting in the release would have matched.
bool OwnModelMerge::prepareStaging(const QStringList &rcids)
{
    const QString modelColumns =
        m_generation == Generation::First ? firstInsertColumns : secondModelColumns;
    const QStringList statements = {
        QStringLiteral("CREATE TEMP TABLE kx_own_rcid(Rcid)"),
        QStringLiteral("CREATE TEMP TABLE kx_stage_models AS SELECT ") + modelColumns +
            QStringLiteral(" FROM main.rcmodels LIMIT 0"),
        QStringLiteral("CREATE TEMP TABLE kx_stage_keys AS SELECT ") + keyColumns +
            QStringLiteral(" FROM main.rckeys LIMIT 0"),
        QStringLiteral("CREATE INDEX temp.kx_stage_models_rcid ON kx_stage_models(Rcid)"),
        QStringLiteral("CREATE INDEX temp.kx_stage_keys_rcid ON kx_stage_keys(Rcid)"),
    };
    for (const QString &statement : statements) {
        if (!execute(m_target, statement, QStringLiteral("staging")))
            return false;
    }
    QSqlQuery insert(m_target);
    if (!prepare(insert, QStringLiteral("INSERT INTO temp.kx_own_rcid(Rcid) VALUES (?)")))
        return false;
    for (const QString &rcid : rcids) {
        insert.bindValue(0, rcid);
        if (!execute(insert, QStringLiteral("own Rcids")))
            return false;
    }
    return true;
}

bool OwnModelMerge::stageModels(QSqlQuery &models, bool copy, int progressDivisor)
{
    const bool first = m_generation == Generation::First;
    const QString modelColumns = first ? firstInsertColumns : secondModelColumns;
    const int modelValues = first ? firstRcTypeColumn : 13;

    QSqlQuery deleteModels(m_target);
    QSqlQuery deleteKeys(m_target);
    QSqlQuery insertModel(m_target);
    QSqlQuery selectKeys(m_current);
    QSqlQuery insertKey(m_target);
    selectKeys.setForwardOnly(true);
    if (copy &&
        !(prepare(deleteModels,
                  QStringLiteral("DELETE FROM temp.kx_stage_models WHERE Rcid = ?")) &&
          prepare(deleteKeys, QStringLiteral("DELETE FROM temp.kx_stage_keys WHERE Rcid = ?")) &&
          prepare(insertModel, QStringLiteral("INSERT INTO temp.kx_stage_models(") + modelColumns +
                                   QStringLiteral(") VALUES (") + placeholders(modelColumns) +
                                   QStringLiteral(")")) &&
          prepare(selectKeys, QStringLiteral("SELECT ") + (first ? firstKeyColumns : keyColumns) +
                                  QStringLiteral(" FROM temp.kx_own_keys WHERE Rcid = ? "
                                                 "ORDER BY rowid")) &&
          prepare(insertKey, QStringLiteral("INSERT INTO temp.kx_stage_keys(") + keyColumns +
                                 QStringLiteral(") VALUES (?,?,?,?,?)"))))
        return false;

    if (!execute(models, QStringLiteral("own models")))
        return false;
    int acc = progressSpan;
    while (models.next()) {
        const QString rcid = textOf(models.value(0));
        if (copy) {
            deleteModels.bindValue(0, rcid);
            deleteKeys.bindValue(0, rcid);
            if (!execute(deleteModels, QStringLiteral("model delete")) ||
                !execute(deleteKeys, QStringLiteral("key delete")))
                return false;

            for (int column = 0; column < modelValues; ++column) {
                const QVariant value = models.value(column);
                insertModel.bindValue(column, isFilteredModelColumn(column) ? withoutQuotes(value)
                                                                            : textOf(value));
            }
            if (!execute(insertModel, QStringLiteral("model insert")))
                return false;

            const QString rcType = first ? textOf(models.value(firstRcTypeColumn)) : QString();
            selectKeys.bindValue(0, rcid);
            if (!execute(selectKeys, QStringLiteral("key selection")))
                return false;
            while (selectKeys.next()) {
                insertKey.bindValue(0, textOf(selectKeys.value(0)));
                insertKey.bindValue(keyNameColumn, withoutQuotes(selectKeys.value(keyNameColumn)));
                insertKey.bindValue(3, textOf(selectKeys.value(3)));
                if (first) {
                    insertKey.bindValue(1, rcType);
                    insertKey.bindValue(
                        4, KeyNumber::fromPositionCode(rcType, textOf(selectKeys.value(1))));
                } else {
                    insertKey.bindValue(1, textOf(selectKeys.value(1)));
                    insertKey.bindValue(4, textOf(selectKeys.value(4)));
                }
                if (!execute(insertKey, QStringLiteral("key insert")))
                    return false;
            }
        }
        emit progress(acc / progressDivisor + progressStart, progressTotal);
        acc += progressSpan;
    }
    return true;
}

// The staged rows are the survivors of the per-model order; the release loses every row and
// key filed under an own Rcid, as the per-model deletes would have removed them all.
bool OwnModelMerge::applyStaging()
{
    const QString modelColumns =
        m_generation == Generation::First ? firstInsertColumns : secondModelColumns;
    const QStringList statements = {
        QStringLiteral(
            "DELETE FROM main.rcmodels WHERE Rcid IN (SELECT Rcid FROM temp.kx_own_rcid)"),
        QStringLiteral("DELETE FROM main.rckeys WHERE Rcid IN (SELECT Rcid FROM temp.kx_own_rcid)"),
        QStringLiteral("INSERT INTO main.rcmodels(") + modelColumns + QStringLiteral(") SELECT ") +
            modelColumns + QStringLiteral(" FROM temp.kx_stage_models ORDER BY rowid"),
        QStringLiteral("INSERT INTO main.rckeys(") + keyColumns + QStringLiteral(") SELECT ") +
            keyColumns + QStringLiteral(" FROM temp.kx_stage_keys ORDER BY rowid"),
    };
    for (const QString &statement : statements) {
        if (!execute(m_target, statement, QStringLiteral("apply")))
            return false;
    }
    return true;
}

void OwnModelMerge::dropTemporaryTables()
{
    QSqlQuery current(m_current);
    current.exec(QStringLiteral("DROP TABLE IF EXISTS temp.kx_own_keys"));
    current.exec(QStringLiteral("DROP TABLE IF EXISTS temp.kx_own_rcid"));
    QSqlQuery target(m_target);
    target.exec(QStringLiteral("DROP TABLE IF EXISTS temp.kx_stage_models"));
    target.exec(QStringLiteral("DROP TABLE IF EXISTS temp.kx_stage_keys"));
    target.exec(QStringLiteral("DROP TABLE IF EXISTS temp.kx_own_rcid"));
}
