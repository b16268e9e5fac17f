#pragma once

#include <QSqlDatabase>

#include "common/catalogue/tablelayout.h"

// What a file's tables declare, beyond the columns that TableLayout names. The first generation
// keeps the remote-control type on the model and a position code on each key; the second keeps
// type and key number on each key.

namespace DatabaseLayout {

// True when rcmodels has a column named exactly "Prot".
bool hasProtColumn(const QSqlDatabase &db);
// Appends Prot to rcmodels where it is missing. A failure (a read-only file, say) is not
// reported: it shows up when the own models are selected.
void addProtColumn(const QSqlDatabase &db);
// " COLLATE <name>" for the collation that a column declares, to be put behind an expression
// that must compare as that column does; empty for the default (BINARY) or when unknown.
QString collateClause(const QSqlDatabase &db, const QString &schema, const QString &table,
                      const QString &column);
// The affinity a column's declared type gives it, as a type name that gives the same affinity
// ("INTEGER", "TEXT", "BLOB", "REAL", "NUMERIC"); empty when the column is unknown.
QString affinity(const QSqlDatabase &db, const QString &schema, const QString &table,
                 const QString &column);
// A file whose rckeys has an RCTypeId column, even without rows, is of the second generation.
Generation generation(const QSqlDatabase &db);

} // namespace DatabaseLayout
