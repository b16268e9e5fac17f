#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// The user's keys that the merge needs, in a scratch file that the release's connection can
// attach: the user's file itself is held by its own connection alone, and SQLite attaches no
// file whose text encoding differs from the main file's. The scratch file is in the release's
// encoding, its rckeys with the columns of the user's (each with its affinity and collation, so
// that values and comparisons stay as they were) and kconv, the key's Rcid as the release's
// keys will store it. The user's file is only read.
namespace OwnKeyCopy {

// The main file's encoding as PRAGMA encoding names it ("UTF-8", "UTF-16le", "UTF-16be").
QString encodingOf(const QSqlDatabase &db);

// Writes the columns of every key of current whose Rcid is one of rcids (compared as the
// user's rckeys compares) into a new file at path in the given encoding, with kconv of the
// given affinity (see DatabaseLayout::affinity).
bool write(const QSqlDatabase &current, const QStringList &rcids, const QString &columns,
           const QString &encoding, const QString &kconvAffinity, const QString &path,
           QString *error);

} // namespace OwnKeyCopy
