#include "database/keynumber.h"

#include <array>

namespace KeyNumber {

namespace {

constexpr int keysPerGroup = 56;
constexpr int type5KeysPerGroup = 43;

// Type-5 remotes number their 42 keys in an order of their own; every other position is 0.
constexpr std::array<int, 64> type5Positions = {
    0,  0,  0,  0,  0,  0,  0,  0,  //
    0,  0,  20, 16, 18, 17, 42, 0,  //
    0,  26, 13, 12, 11, 34, 33, 32, //
    23, 10, 9,  8,  41, 31, 38, 15, //
    7,  6,  5,  37, 36, 35, 29, 4,  //
    3,  2,  27, 19, 30, 25, 40, 39, //
    28, 24, 21, 22, 1,  0,  0,  14, //
    0,  0,  0,  0,  0,  0,  0,  0,  //
};

// A decimal number, or 0 for text that is not one: a NUL ends no number early.
int numberIn(const QString &text)
{
    if (text.contains(QChar::Null))
        return 0;
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok ? value : 0;
}

} // namespace

QString fromPositionCode(const QString &rcType, const QString &positionCode)
{
    const int type = numberIn(rcType);
    const int group = numberIn(positionCode.mid(0, 1));
    const int position = numberIn(positionCode.mid(2, 2));

    if (type <= 4)
        return QString::number(group * keysPerGroup + position);
    if (type == 5) {
        // Two characters can read as -9 to 99; outside the table there is no key to name.
        if (position < 0 || position >= int(type5Positions.size()))
            return QStringLiteral("0");
        return QString::number(group * type5KeysPerGroup + type5Positions[std::size_t(position)]);
    }
    return QStringLiteral("");
}

} // namespace KeyNumber
