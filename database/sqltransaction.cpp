#include "database/sqltransaction.h"

#include <QSqlError>

SqlTransaction::~SqlTransaction()
{
    if (m_open)
        m_db.rollback();
}

bool SqlTransaction::begin()
{
    m_open = m_db.transaction();
    return m_open || failBecause(m_db.lastError().text());
}

bool SqlTransaction::commit()
{
    if (!m_db.commit())
        return failBecause(m_db.lastError().text());
    m_open = false;
    return true;
}
