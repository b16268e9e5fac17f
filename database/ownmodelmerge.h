#pragma once

#include <functional>

#include <QObject>
#include <QSqlDatabase>
#include <QString>

#include "common/errorstring.h"
#include "database/databaselayout.h"
#include "database/ownkeycopy.h"

class QSqlQuery;
class RowidRanges;
class StepProgress;

// Carries the user's own models (Own = 1) and the keys filed under their Rcid from the current
// database into a new release, converting first-generation keys on the way. The result is that
// of the per-model order: for each own model, in the order the current database delivers them,
// the rows of the release with its Rcid and the keys filed under that Rcid are removed, then the
// model and its own keys are inserted.
//
// Catalogues hold hundreds of thousands of models and millions of unindexed keys, so nothing
// runs once per model against the full tables. The release loses every row and key filed under
// an own Rcid in one delete per table; the own rows are staged in tables shaped like the
// release's, and a staged row goes in unless a later own model's Rcid would have deleted it.
class OwnModelMerge : public QObject, public ErrorString
{
    Q_OBJECT

public:
    OwnModelMerge(const QSqlDatabase &current, const QSqlDatabase &target,
                  QObject *parent = nullptr);

    // Adds Prot to the current database where it is missing, tells its generation and merges
    // inside one transaction on the target, which is committed on success and rolled back on
    // failure. With copyOwnModels false the own models are only counted through.
    bool run(bool copyOwnModels);
    Generation generation() const { return m_generation; }
    // Asked before the current database gains its Prot column; false stops the merge.
    void setBeforeChangingCurrent(std::function<bool()> check) { m_beforeChangingCurrent = check; }

signals:
    // From 300 towards 700 of 1000, through every part of the work: the copy of the own keys,
    // the own models one by one, the removal of the release's rows they replace and the
    // insertion. Without copyOwnModels, one step per own model. Nothing without own models.
    void progress(int current, int total);

private:
    bool readOwnRcids(QSqlQuery &models, QStringList *rcids);
    bool allCountedSelected(int counted, int selected);
    bool attachCurrent(const QStringList &rcids);
    bool prepareStaging(const QStringList &rcids);
    bool keysConvertInSql();
    bool stageModels(QSqlQuery &models, bool copy, int expectedRows, StepProgress &progress);
    bool applyStaging(StepProgress &progress);
    bool executeByRanges(const QString &statement, const RowidRanges &ranges, const QString &rowid,
                         StepProgress &progress);
    void dropTemporaryTables();
    bool prepare(QSqlQuery &query, const QString &statement);
    bool execute(QSqlQuery &query, const QString &what);
    bool execute(const QString &statement, const QString &what);
    // Records where and why the merge stopped; returns false.
    bool failAt(const QString &what, const QString &text);

    QSqlDatabase m_current;
    QSqlDatabase m_target;
    Generation m_generation = Generation::Second;
    bool m_keysInSql = false;
    // What each Rcid column declares: comparisons between staged values must match as the
    // per-model statements on that column would.
    QString m_modelCollate;
    QString m_keyCollate;
    QString m_currentKeyCollate;
    std::function<bool()> m_beforeChangingCurrent;
    // The own keys, in a scratch file attached to the release as kx_current.
    OwnKeyCopy m_keyCopy;
};
