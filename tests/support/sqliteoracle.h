#pragma once

#include <QString>
#include <QStringList>

// Asks the sqlite3 command, so that our own reading code is not the only judge of a database:
// the rows as sqlite3 prints them, values joined by "|" and NULL as "<NULL>", or one line saying
// that it failed.
QStringList sqliteRows(const QString &database, const QString &statement);
QString sqliteText(const QString &database, const QString &statement);

// Each own model's Rcid with the number of keys filed under it, in Rcid order: what must survive
// every update, whatever the filters do to the texts.
QString ownModelsWithKeys(const QString &database);
// The same of the committed state of a file whose journal or WAL lies beside it, read from a copy
// so that the file itself is left as it is.
QString committedOwnModels(const QString &database);

// Every row of both tables, in storage order, as sqlite3 prints them.
QStringList dumpTables(const QString &database);

// Rewrites the file in another text encoding ("UTF-16le", ...) through sqlite3's dump.
bool convertEncoding(const QString &database, const QString &encoding);
