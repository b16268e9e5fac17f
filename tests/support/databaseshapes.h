#pragma once

#include <QStringList>

#include "tools/sampledata/sampledatabase.h"

// The catalogues that several tests start from, by name.
namespace Shapes {

// A user's catalogue of the first generation with own models: every third own model has NULLs,
// every fourth quotes, as years of hand editing leave them. The rest is DatabaseShape's default.
SampleData::DatabaseShape firstGenerationUser(int ownModels);

// A release as the maker ships it: second generation with Prot, supplied models only.
SampleData::DatabaseShape release(int suppliedModels = 100, int keySets = 50, int keysPerSet = 10);

// Both tables of a layout, as CREATE TABLE statements.
QStringList tables(Generation layout = Generation::Second);

// Rows for the second layout: own models 1 (Flag 0, its own key set 1), 2 (Flag 1) and 3 (Flag
// 0) both linking to the supplied key set 100, and supplied model 4 also linking to it. Key set
// 200 belongs to no own model.
QStringList ownModelsToSend();

} // namespace Shapes
