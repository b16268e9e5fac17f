#include "tests/support/databaseshapes.h"

namespace Shapes {

SampleData::DatabaseShape firstGenerationUser(int ownModels)
{
    SampleData::DatabaseShape shape;
    shape.layout = Generation::First;
    shape.ownModels = ownModels;
    shape.withNulls = true;
    shape.withQuotes = true;
    return shape;
}

SampleData::DatabaseShape release(int suppliedModels, int keySets, int keysPerSet)
{
    SampleData::DatabaseShape shape;
    shape.suppliedModels = suppliedModels;
    shape.keySets = keySets;
    shape.keysPerSet = keysPerSet;
    shape.ownModels = 0;
    return shape;
}

QStringList tables(Generation layout)
{
    return {TableLayout::createModels(layout), TableLayout::createKeys(layout)};
}

QStringList ownModelsToSend()
{
    return {
        QStringLiteral("INSERT INTO rcmodels VALUES (1, 'Acme', 'TV', 'A1', 'doc', 1, 'me', "
                       "'none', 1, 0, 0, 7, 0)"),
        QStringLiteral("INSERT INTO rcmodels VALUES (2, 'Bolt', 'DVD', 'B2', '', 100, 'me', '', "
                       "1, 1, 1, 3, 1)"),
        QStringLiteral("INSERT INTO rcmodels VALUES (3, 'Crux', 'SAT', 'C3', '', 100, 'me', '', "
                       "1, 0, 0, 3, 0)"),
        QStringLiteral("INSERT INTO rcmodels VALUES (4, 'Dyne', 'TV', 'D4', '', 100, 'maker', '', "
                       "0, 0, 0, 3, 0)"),
        QStringLiteral("INSERT INTO rckeys VALUES (1, 7, 'Power', '0x10', 1)"),
        QStringLiteral("INSERT INTO rckeys VALUES (1, 7, 'Mute', '0x11', 2)"),
        QStringLiteral("INSERT INTO rckeys VALUES (100, 3, 'Power', '0x20', 1)"),
        QStringLiteral("INSERT INTO rckeys VALUES (100, 3, 'Up', '0x21', 2)"),
        QStringLiteral("INSERT INTO rckeys VALUES (100, 3, 'Down', '0x22', 3)"),
        QStringLiteral("INSERT INTO rckeys VALUES (200, 3, 'Play', '0x30', 1)"),
    };
}

} // namespace Shapes
