#pragma once

#include <QObject>
#include <QSqlDatabase>
#include <QString>

#include "database/databaselayout.h"

class QSqlQuery;

// Carries the user's own models (Own = 1) and the keys filed under their Rcid from the current
// database into a new release, converting first-generation keys on the way. For each own model,
// in the order the current database delivers them, the rows of the release with its Rcid and
// the keys filed under that Rcid are removed and the model with its own keys is inserted.
//
// Catalogues hold hundreds of thousands of models and millions of unindexed keys, so the
// per-model work runs on small indexed temporary tables: the own keys are collected in one pass
// over the current keys, the per-model order is played out on staging tables shaped like the
// release's, and the release is then changed by one delete and one insert per table.
class OwnModelMerge : public QObject
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
    QString errorString() const { return m_error; }

signals:
    // Once per own model, from 300 towards 700 of 1000.
    void progress(int current, int total);

private:
    bool readOwnRcids(QSqlQuery &models, QStringList *rcids);
    bool collectOwnKeys(const QStringList &rcids);
    bool prepareStaging(const QStringList &rcids);
    bool stageModels(QSqlQuery &models, bool copy, int progressDivisor);
    bool applyStaging();
    void dropTemporaryTables();
    bool prepare(QSqlQuery &query, const QString &statement);
    bool execute(QSqlQuery &query, const QString &what);
    bool execute(const QSqlDatabase &db, const QString &statement, const QString &what);
    bool fail(const QString &what, const QString &text);

    QSqlDatabase m_current;
    QSqlDatabase m_target;
    Generation m_generation = Generation::Second;
    QString m_error;
};
