#pragma once

#include <memory>

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "database/databaselayout.h"
#include "tests/support/databaseshapes.h"
#include "tests/support/sqliteoracle.h"
#include "tests/support/testdatabase.h"
#include "tools/sampledata/sampledatabase.h"

// One model or key row, in either layout.
const QString ownSecond = QStringLiteral(
    "INSERT INTO rcmodels(Rcid,Brand,Type,Model,Documentation,Link,Author,Correction,Own,Hidden,"
    "Flag,Hidden1,Prot) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)");
const QString keySecond =
    QStringLiteral("INSERT INTO rckeys(Rcid,RCTypeId,Name,ID,Nkey) VALUES (?,?,?,?,?)");
const QString ownFirst = QStringLiteral(
    "INSERT INTO rcmodels(Rcid,Brand,Type,Model,Documentation,Link,Author,Correction,Own,Hidden,"
    "Flag,RCTypeId) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)");
const QString keyFirst = QStringLiteral("INSERT INTO rckeys(Rcid,PCB,Name,ID) VALUES (?,?,?,?)");

struct MergeResult
{
    bool ok = false;
    QList<int> progress;
    QString errorString;
};

// Merges current's own models into target, each file on a connection of its own.
MergeResult merge(const QString &current, const QString &target, bool copyOwnModels = true);

// The bar rises through the merge's range to its end, and moves once for each of a few models.
bool risesThroughTheMerge(const QList<int> &progress, int models);
QStringList schemaOf(const QString &path);

// Merges of hand-made rows in tst_ownmodelmerge.cpp; key numbers and the comparison with the
// plain per-model order in tst_ownmodelmerge_reference.cpp.
class TestOwnModelMerge : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void keyNumber_data();
    void keyNumber();
    void type5PositionsNameEachKeyOnce();
    void secondGeneration();
    void firstGeneration();
    void duplicatedOwnRcids();
    void samePerModelResult_data();
    void samePerModelResult();
    void rcidsThatOnlyCompareEqual_data();
    void rcidsThatOnlyCompareEqual();
    void withoutCopy();
    void noOwnModels();
    void progressSteps_data();
    void progressSteps();
    void migrationOnlyOnce();
    void failingStatementLeavesNoHalfMerge();
    void missingColumnFails();

private:
    QString path(const QString &name) const { return m_dir->filePath(name); }
    // rcidType replaces the Rcid columns' declared type.
    void makeRelease(const QString &file, const QString &rcidType = QStringLiteral("INTEGER"));

    std::unique_ptr<QTemporaryDir> m_dir;
};
