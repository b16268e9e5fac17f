#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// SQLite attaches no file whose text encoding differs from the main file's. When the user's
// database and the release differ, the own keys are copied into a scratch file of the release's
// encoding, with rckeys declared exactly as in the user's file, and that file is attached in
// its place. The user's file is only read.
namespace OwnKeyCopy {

// The main file's encoding as PRAGMA encoding names it ("UTF-8", "UTF-16le", "UTF-16be").
QString encodingOf(const QSqlDatabase &db);

// Writes the columns of every key of current whose Rcid is one of rcids (compared as the
// user's rckeys compares) into a new file at path in the given encoding.
bool write(const QSqlDatabase &current, const QStringList &rcids, const QString &columns,
           const QString &encoding, const QString &path, QString *error);

} // namespace OwnKeyCopy
