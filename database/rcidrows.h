#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include "common/errorstring.h"

// The own Rcids written into a temporary table through the connection's own SQLite handle, each
// bound as text exactly as QSqlQuery binds a QString (UTF-16 with its length, so a NUL inside
// stays), together with its position: tens of thousands of rows take milliseconds, where binding
// them one by one through Qt takes a tenth of a second.
class RcidRows : public ErrorString
{
public:
    // statement is an INSERT with ?1 for the position (0, 1, …) and ?2 for the Rcid, run once
    // per Rcid in their order ("INSERT INTO temp.t(seq,rcid) VALUES (?1,?2)").
    [[nodiscard]] bool insert(const QSqlDatabase &db, const QString &statement,
                              const QStringList &rcids);
};
