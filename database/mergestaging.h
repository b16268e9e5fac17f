#pragma once

#include <functional>

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include "common/catalogue/tablelayout.h"
#include "common/errorstring.h"

class QSqlQuery;
class RowidRanges;
class StepProgress;

// The own models and their keys on their way into the release, in temporary tables of the
// release's connection that go when this does: kx_order (each own model's Rcid and position),
// kx_stage_models and kx_stage_keys (the rows as they will be inserted). The own keys come from
// the copy of the user's keys attached as kx_current (see OwnKeyCopy).
//
// The release loses every row and key filed under an own Rcid, and a staged row goes in unless a
// later own model's Rcid would have deleted it: the result of the per-model order. The removal
// needs only the own Rcids, so it can run while the copy of the user's keys is still written.
class MergeStaging : public ErrorString
{
public:
    MergeStaging(const QSqlDatabase &target, Generation generation);
    ~MergeStaging();
    MergeStaging(const MergeStaging &) = delete;
    MergeStaging &operator=(const MergeStaging &) = delete;

    // Makes the tables for the own models' Rcids, in their order.
    bool prepareOrder(const QStringList &rcids);
    // Removes the release's rows under the own Rcids, telling report how many of its statements
    // are done.
    bool removeReleaseRows(const std::function<void(int done, int total)> &report);
    // The copy of the user's keys is attached as kx_current. plainKeys says that every value of
    // it is NULL, an integer or text (see OwnKeyCopy::plainValues).
    void useCopy(bool plainKeys);
    // Reads the own models from models (executed here, on the current database) and stages
    // them with their keys, one step of progress each; expectedRows is how many there must be.
    // Without copy the rows are only counted through. Where the copy of the user's rows holds
    // the models and the keys move in SQL, the models are taken from the copy in one statement.
    bool stage(QSqlQuery &models, bool copy, int expectedRows, StepProgress &progress);
    // Inserts the staged rows that survive, taking progress up to insertedAt.
    bool insert(StepProgress &progress, int insertedAt);

private:
    QString written(const QString &table, const QString &column) const;
    bool modelsMoveInSql(int expectedRows);
    bool stageModelsInSql();
    bool failAt(const QString &what, const QString &text);
    bool prepareQuery(QSqlQuery &query, const QString &statement);
    bool run(QSqlQuery &query, const QString &what);
    bool execute(const QString &statement, const QString &what);
    bool executeByRanges(const QString &statement, const RowidRanges &ranges, const QString &rowid,
                         const std::function<void()> &rangeDone);

    QSqlDatabase m_target;
    Generation m_generation;
    bool m_keysInSql = false;
    // What each Rcid column declares: comparisons between staged values must match as the
    // per-model statements on that column would.
    QString m_modelCollate;
    QString m_keyCollate;
    QString m_currentKeyCollate;
};
