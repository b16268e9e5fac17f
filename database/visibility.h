#pragma once

#include <functional>

#include <QSqlDatabase>
#include <QString>

#include "common/errorstring.h"

// After an update a supplied model stays visible only when its key set has a key of one of
// the user's remote-control types; the user's own models are always visible. Every model's
// Hidden ends as this rule decides it, whatever the release shipped:
//
//   Hidden = 1 where Own=0 AND Link NOT IN (SELECT Rcid FROM rckeys WHERE RCTypeId IN (<list>))
//   Hidden = 0 everywhere else
//
// An empty list gives "IN ()", which hides every supplied model.
class Visibility : public ErrorString
{
public:
    explicit Visibility(const QSqlDatabase &db) : m_db(db) {}

    // The type ids as they may reach statement text: ASCII digit runs and commas only, whatever
    // the setting held.
    static QString typeList(const QString &rcTypeList);

    // Sets Hidden by the rule above. The keys are scanned once, range by range, for the key sets
    // that have a listed type, and only the models whose Hidden changes are written.
    [[nodiscard]] bool apply(const QString &rcTypeList);

    // Told how much is done as the keys are scanned, range by range: done of total.
    using Progress = std::function<void(qint64 done, qint64 total)>;
    void setProgress(Progress progress) { m_progress = std::move(progress); }

private:
    QSqlDatabase m_db;
    Progress m_progress;
};
