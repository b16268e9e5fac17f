#pragma once

#include <QSqlDatabase>

#include "common/errorstring.h"

// A transaction on a connection that is rolled back when it goes, unless it was committed: every
// way out of the work done in it ends it.
class SqlTransaction : public ErrorString
{
public:
    explicit SqlTransaction(const QSqlDatabase &db) : m_db(db) {}
    ~SqlTransaction();
    SqlTransaction(const SqlTransaction &) = delete;
    SqlTransaction &operator=(const SqlTransaction &) = delete;

    [[nodiscard]] bool begin();
    [[nodiscard]] bool commit();

private:
    QSqlDatabase m_db;
    bool m_open = false;
};
