#pragma once

#include <atomic>
#include <chrono>
#include <future>
#include <optional>

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include "common/errorstring.h"

class QSqlError;
struct sqlite3;

// The user's keys that the merge needs, in a scratch file that the release's connection can
// attach: the user's file itself is held by its own connection alone, and SQLite attaches no
// file whose text encoding differs from the main file's. The scratch file is in the release's
// encoding, its rckeys with the columns of the user's (each with its affinity and collation, so
// that values and comparisons stay as they were), kconv, the key's Rcid as the release's keys
// will store it, and an index on Rcid. The user's file is only read.
//
// Where the user's file is in the release's encoding the copy is a few statements of the user's
// connection, run on a thread of their own while the caller works on the release: the connection
// is the copy's alone until wait() says it is done. Otherwise it is made row by row through Qt,
// before start() returns.
class OwnKeyCopy : public ErrorString
{
public:
    explicit OwnKeyCopy(const QSqlDatabase &current) : m_current(current) {}
    // Stops a copy still running, detaches the copy and removes it: it lives no longer than the
    // merge.
    ~OwnKeyCopy();
    OwnKeyCopy(const OwnKeyCopy &) = delete;
    OwnKeyCopy &operator=(const OwnKeyCopy &) = delete;

    // Also copies the user's own models, these columns of them in the order that "SELECT
    // columns FROM rcmodels WHERE Own = 1" gives, as the copy's rcmodels: where the keys are
    // copied in SQL (the user's file in the release's encoding); otherwise that table stays empty.
    void setOwnModels(const QString &columns) { m_modelColumns = columns; }

    // The main file's encoding as PRAGMA encoding names it ("UTF-8", "UTF-16le", "UTF-16be").
    static QString encodingOf(const QSqlDatabase &db);

    // Begins the copy of the columns of every key of the user's file whose Rcid is one of rcids
    // (compared as the user's rckeys compares) into a new file beside the release of target, in
    // its encoding and with kconv as its rckeys.Rcid stores it. Until wait() is true, nothing
    // but this object may use the user's connection.
    bool start(const QSqlDatabase &target, const QStringList &rcids, const QString &columns);
    // How far the copy is, in parts of similar cost: done() of parts(), readable at any time.
    qint64 parts() const { return m_parts; }
    qint64 done() const { return m_done.load(); }
    // Whether the copy has ended, waiting for it at most timeout.
    bool wait(std::chrono::milliseconds timeout);
    // Waits for the copy to end: true when it is whole, and then it is attached to the target as
    // kx_current (which the target's open transaction does not prevent).
    bool attach();
    // After a copy: whether every value of the keys copied is NULL, an integer or text, which
    // read as text the same way in SQL as through Qt (a real or a blob does not).
    bool plainValues() const { return !m_oddValues; }

private:
    bool failAt(const QString &what, const QSqlError &error);
    std::optional<QString> declare(const QString &table, const QString &columns);
    bool createScratch(const QString &columns, const QString &kconvAffinity);
    bool stageRcids(const QStringList &rcids);
    bool noteOddValues(bool on);
    bool startInSql(const QString &columns);
    bool copyRowByRow(const QString &columns);
    // What the user's connection holds for the copy: the scratch file attached, the function
    // and the own Rcids. Only once the copy has ended.
    void releaseCurrent();
    void detach();

    QSqlDatabase m_current;
    QSqlDatabase m_target;
    QString m_path;
    QString m_encoding;
    // The user's connection, for the copy's thread and to stop it.
    sqlite3 *m_handle = nullptr;
    // The test that spares the scan most of the user's keys (see OwnRcidRange).
    QString m_ahead;
    QString m_modelColumns;
    bool m_oddValues = false;
    bool m_holdsCurrent = false;
    qint64 m_parts = 1;
    std::atomic<qint64> m_done{0};
    // The copy on its own thread; its result, and the reason of a failure, once it has ended.
    std::future<QString> m_copy;
    QString m_failure;
};
