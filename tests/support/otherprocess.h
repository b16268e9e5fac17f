#pragma once

#include <QProcess>
#include <QString>

// Another program using a database while the update runs, as the application would: python3's
// sqlite3 module in a process of its own, holding what it was asked to hold until release().
class DatabaseUser
{
public:
    enum class Hold {
        ReadTransaction,
        PendingWrite, // an own model inserted, not yet committed
        ExclusiveWrite,
        WalReader, // the file put into WAL mode, then a read transaction
    };

    DatabaseUser(const QString &database, Hold hold);
    ~DatabaseUser();
    DatabaseUser(const DatabaseUser &) = delete;
    DatabaseUser &operator=(const DatabaseUser &) = delete;

    // True once the process holds what it was asked to.
    bool isHolding() const { return m_holding; }
    // Lets go, committing a pending write; true when the process ended without an error.
    bool release();

    // The Rcid of the own model that a pending write inserts.
    static constexpr int heldRcid = 777777;

private:
    QProcess m_process;
    bool m_holding = false;
};
