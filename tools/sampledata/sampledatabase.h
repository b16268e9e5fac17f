#pragma once

#include <QString>
#include <QVariantList>

#include "common/catalogue/tablelayout.h"
#include "common/errorstring.h"

class QSqlDatabase;

// Remote-control databases of any size for tests, the demo and the benchmarks, written straight
// by SQLite so that millions of keys take seconds. The same shape gives the same file.
//
// Supplied models get the Rcids firstRcid, firstRcid + 1, ...; model m uses the key set
// firstRcid + (m % keySets), so several models share a set, and key set s is filed under the
// Rcid of the supplied model s. Own models (Own = 1) get the Rcids ownFirstRcid, ... and keep
// their own keys under their own Rcid (their Link).
namespace SampleData {

struct DatabaseShape
{
    Generation layout = Generation::Second;
    // Second generation only: whether rcmodels already has the Prot column.
    bool withProt = true;
    int suppliedModels = 100;
    int keySets = 50;
    int keysPerSet = 10;
    // Remote-control types 1 to rcTypes; every fifth key set mixes two types.
    int rcTypes = 8;
    qint64 firstRcid = 1;
    int ownModels = 0;
    int keysPerOwnModel = 5;
    qint64 ownFirstRcid = 10000000;
    // The last n own models repeat the Rcids of the first n.
    int duplicatedOwnRcids = 0;
    // Every third own model has NULL Documentation, Author, Correction and Hidden1 (or
    // RCTypeId), every fourth own key a NULL ID, and every 97th supplied model a NULL Link.
    bool withNulls = false;
    // Every fourth own model is Joe's by O'Neil, with keys named Ch'n and IDs with quotes.
    bool withQuotes = false;
};

// The sizes S and L of the benchmarks; release = true leaves out the own models.
DatabaseShape sizeS(bool release = false);
DatabaseShape sizeL(bool release = false);

// Writes sample databases; errorString() says why one could not be written.
class DatabaseWriter : public ErrorString
{
public:
    // Writes a new file at path, replacing one that is there.
    bool write(const QString &path, const DatabaseShape &shape);

private:
    bool run(const QSqlDatabase &db, const QString &statement, const QVariantList &values);
    bool fill(const QSqlDatabase &db, const DatabaseShape &shape);
};

} // namespace SampleData
