#pragma once

#include <QString>
#include <QStringList>

// The two layouts of rc.db, and the columns of its tables in the order the maker's files have
// them: the one source for the merge, the upload, the upload server, the sample databases, the
// benchmarks and the fuzz targets.
enum class Generation {
    First,  // rcmodels ends in RCTypeId; rckeys has Rcid, PCB, Name, ID
    Second, // rcmodels ends in Hidden1 and Prot; rckeys has Rcid, RCTypeId, Name, ID, Nkey
};

namespace TableLayout {

// rcmodels of the second generation; also the attributes of an uploaded "model". The first
// generation shares the first sharedModelColumns of them.
inline constexpr const char *modelColumns[] = {
    "Rcid",       "Brand", "Type",   "Model", "Documentation", "Link", "Author",
    "Correction", "Own",   "Hidden", "Flag",  "Hidden1",       "Prot"};
inline constexpr int sharedModelColumns = 11;
// rcmodels of the first generation.
inline constexpr const char *firstModelColumns[] = {
    "Rcid",   "Brand",      "Type", "Model",  "Documentation", "Link",
    "Author", "Correction", "Own",  "Hidden", "Flag",          "RCTypeId"};
// rckeys of the second generation; also the attributes of an uploaded "key".
inline constexpr const char *keyColumns[] = {"Rcid", "RCTypeId", "Name", "ID", "Nkey"};
// rckeys of the first generation.
inline constexpr const char *firstKeyColumns[] = {"Rcid", "PCB", "Name", "ID"};

// The columns of a table of a generation, as names and as a list for a statement
// ("Rcid,Brand,…").
QStringList modelColumnNames(Generation generation);
QString modelColumnList(Generation generation);
QStringList keyColumnNames(Generation generation);
QString keyColumnList(Generation generation);
// The columns that both generations' rcmodels have.
QString sharedModelColumnList();

// The CREATE TABLE statements of the maker's files. withProt counts for the second generation
// only: its older files lack the column.
QString createModels(Generation generation, bool withProt = true);
QString createKeys(Generation generation);

// The affinity that a column declared with this type has, by SQLite's rules in their order, as
// the type name that gives it: "INTEGER", "TEXT", "BLOB" (also for no type at all), "REAL" or
// "NUMERIC".
QString affinityOf(const QString &declaredType);

} // namespace TableLayout
