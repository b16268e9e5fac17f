#pragma once

#include <functional>
#include <optional>

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include "common/errorstring.h"

class QSqlError;
class QSqlQuery;

// The user's keys that the merge needs, in a scratch file that the release's connection can
// attach: the user's file itself is held by its own connection alone, and SQLite attaches no
// file whose text encoding differs from the main file's. The scratch file is in the release's
// encoding, its rckeys with the columns of the user's (each with its affinity and collation, so
// that values and comparisons stay as they were) and kconv, the key's Rcid as the release's
// keys will store it. The user's file is only read.
class OwnKeyCopy : public ErrorString
{
public:
    explicit OwnKeyCopy(const QSqlDatabase &current) : m_current(current) {}
    // Detaches the copy, and removes it, when it goes: it lives no longer than the merge.
    ~OwnKeyCopy() { detach(); }
    OwnKeyCopy(const OwnKeyCopy &) = delete;
    OwnKeyCopy &operator=(const OwnKeyCopy &) = delete;

    // Told how much of the copy is done, as it goes: done of total parts of the key table.
    using Progress = std::function<void(qint64 done, qint64 total)>;
    void setProgress(Progress progress) { m_progress = std::move(progress); }

    // Also copies the user's own models, these columns of them in the order that "SELECT
    // columns FROM rcmodels WHERE Own = 1" gives, as the copy's rcmodels: where the keys are
    // copied in SQL (the user's file in the release's encoding); otherwise that table stays empty.
    void setOwnModels(const QString &columns) { m_modelColumns = columns; }

    // The main file's encoding as PRAGMA encoding names it ("UTF-8", "UTF-16le", "UTF-16be").
    static QString encodingOf(const QSqlDatabase &db);

    // Writes the copy of the keys (see write) beside the release of target, in its encoding and
    // with kconv as its rckeys.Rcid stores it, and attaches it to target as kx_current.
    bool attachTo(const QSqlDatabase &target, const QStringList &rcids, const QString &columns);
    // Detaches the copy from the target and removes it.
    void detach();

    // Writes the columns of every key of the user's file whose Rcid is one of rcids (compared as
    // the user's rckeys compares) into a new file at path in the given encoding, with kconv of
    // the given affinity (see DatabaseLayout::affinity).
    bool write(const QStringList &rcids, const QString &columns, const QString &encoding,
               const QString &kconvAffinity, const QString &path);
    // After a copy: whether every value of the keys copied is NULL, an integer or text, which
    // read as text the same way in SQL as through Qt (a real or a blob does not).
    bool plainValues() const { return !m_oddValues; }

private:
    bool failAt(const QString &what, const QSqlError &error);
    std::optional<QString> declare(const QString &table, const QString &columns);
    bool stageRcids(const QStringList &rcids);
    void dropRcids();
    bool noteOddValues(bool on);
    bool copyInSql(const QString &columns, const QString &path);
    bool copyRowByRow(const QString &columns, QSqlQuery &insert);

    QSqlDatabase m_current;
    QSqlDatabase m_target;
    QString m_path;
    // The test that spares the scan most of the user's keys (see OwnRcidRange).
    QString m_ahead;
    QString m_modelColumns;
    Progress m_progress;
    bool m_oddValues = false;
};
