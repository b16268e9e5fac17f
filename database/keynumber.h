#pragma once

#include <QString>

// First-generation keys carry a position code (PCB) instead of a key number: "g.pp", the group
// g and the position pp. The key number depends on the remote-control type of the model.
namespace KeyNumber {

// The key number as decimal text, or the empty text for types above 5. Text that is not a
// number counts as 0. A type-5 position without an entry in the position table gives 0.
QString fromPositionCode(const QString &rcType, const QString &positionCode);

} // namespace KeyNumber
