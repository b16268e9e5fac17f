#include "common/zip/unixmode.h"

namespace UnixMode {

namespace {

struct Bit
{
    quint32 mode;
    QFileDevice::Permissions permissions;
};

// Qt's owner and user bits are the same thing for the file's owner.
const Bit bits[] = {
    {0400, QFileDevice::ReadOwner | QFileDevice::ReadUser},
    {0200, QFileDevice::WriteOwner | QFileDevice::WriteUser},
    {0100, QFileDevice::ExeOwner | QFileDevice::ExeUser},
    {0040, QFileDevice::ReadGroup},
    {0020, QFileDevice::WriteGroup},
    {0010, QFileDevice::ExeGroup},
    {0004, QFileDevice::ReadOther},
    {0002, QFileDevice::WriteOther},
    {0001, QFileDevice::ExeOther},
};

} // namespace

QFileDevice::Permissions toPermissions(quint32 mode)
{
    QFileDevice::Permissions permissions;
    for (const Bit &bit : bits)
        if (mode & bit.mode)
            permissions |= bit.permissions;
    return permissions;
}

quint32 fromPermissions(QFileDevice::Permissions permissions)
{
    // Qt's "user" bits describe whoever runs this program, not the owner: only the rest counts.
    const QFileDevice::Permissions stored =
        permissions & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
    quint32 mode = 0;
    for (const Bit &bit : bits)
        if (stored & bit.permissions)
            mode |= bit.mode;
    return mode;
}

} // namespace UnixMode
