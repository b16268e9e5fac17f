#pragma once

#include <functional>

#include <QObject>
#include <QSqlDatabase>
#include <QString>

#include "common/errorstring.h"
#include "database/databaselayout.h"

class MergeStaging;
class OwnKeyCopy;
class QSqlQuery;
class StepProgress;

// Carries the user's own models (Own = 1) and the keys filed under their Rcid from the current
// database into a new release, converting first-generation keys on the way. The result is that
// of the per-model order: for each own model, in the order the current database delivers them,
// the rows of the release with its Rcid and the keys filed under that Rcid are removed, then the
// model and its own keys are inserted.
//
// Catalogues hold hundreds of thousands of models and millions of unindexed keys, so nothing
// runs once per model against the full tables: the own rows are staged (see MergeStaging) and
// applied in a few statements. The copy of the user's keys, which reads all of them, runs on a
// thread of its own while the release loses the rows that the own models replace.
class OwnModelMerge : public QObject, public ErrorString
{
    Q_OBJECT

public:
    OwnModelMerge(const QSqlDatabase &current, const QSqlDatabase &target,
                  QObject *parent = nullptr);

    // Adds Prot to the current database where it is missing, tells its generation and merges
    // inside one transaction on the target, which is committed on success and rolled back on
    // failure. With copyOwnModels false the own models are only counted through.
    [[nodiscard]] bool run(bool copyOwnModels);
    Generation generation() const { return m_generation; }
    // Asked before the current database gains its Prot column; false stops the merge.
    void setBeforeChangingCurrent(std::function<bool()> check) { m_beforeChangingCurrent = check; }

signals:
    // From 300 towards 700 of 1000, through every part of the work: the copy of the own keys
    // beside the removal of the release's rows they replace, the own models one by one and the
    // insertion. Without copyOwnModels, one step per own model. Nothing without own models.
    void progress(int current, int total);

private:
    bool readOwnRcids(QSqlQuery &models, QStringList *rcids);
    bool allCountedSelected(int counted, int selected);
    bool removeBesideCopy(MergeStaging &staged, OwnKeyCopy &keyCopy, const QStringList &rcids,
                          StepProgress &progress);
    // Records where and why the merge stopped; returns false.
    bool failAt(const QString &what, const QString &text);

    QSqlDatabase m_current;
    QSqlDatabase m_target;
    Generation m_generation = Generation::Second;
    std::function<bool()> m_beforeChangingCurrent;
};
