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
        Probe,     // holds nothing, but tries to write whenever asked (see probe())
    };

    DatabaseUser(const QString &database, Hold hold);
    ~DatabaseUser();
    DatabaseUser(const DatabaseUser &) = delete;
    DatabaseUser &operator=(const DatabaseUser &) = delete;

    // True once the process holds what it was asked to.
    bool isHolding() const { return m_holding; }
    // Lets go, committing a pending write; true when the process ended without an error.
    bool release();
    // With Hold::Probe: whether the file is locked (F_GETLK on SQLite's lock bytes), and whether
    // an own model could be committed, through a fresh connection and through the one opened
    // before: "lock=held fresh=refused early=refused" when nothing got through.
    QString probe();

    // The Rcid of the own model that a pending write inserts.
    static constexpr int heldRcid = 777777;

private:
    QString answer();

    QProcess m_process;
    bool m_holding = false;
};

// A program that died inside a transaction on the database, made by python3's sqlite3 module:
// changed pages in the file, the originals in the journal beside it. True when it ran to its end.
bool tearTransaction(const QString &database);

// An account of this machine that nobody uses, made up for the tests that play another user: the
// owner of an installation, or one who can write into it while the updater runs.
namespace OtherAccount {

inline constexpr uint uid = 4242;
inline constexpr uint gid = 4242;

// Gives path, and all below it, to the account.
bool give(const QString &path);
// Runs a shell command as the account, in workDir; its exit code.
int run(const QString &command, const QString &workDir);

} // namespace OtherAccount

// The whole process works with the account's user and group while this lives, as the updater
// does once it has given up root's rights; root's come back at the end.
class ActingAs
{
public:
    ActingAs(uint uid, uint gid);
    ~ActingAs();
    ActingAs(const ActingAs &) = delete;
    ActingAs &operator=(const ActingAs &) = delete;
    bool isActive() const { return m_active; }

private:
    bool m_active = false;
};
