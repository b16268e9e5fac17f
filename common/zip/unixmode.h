#pragma once

#include <QFileDevice>

// The mode a ZIP entry made on a Unix system carries in the upper half of its external
// attributes: file type and permission bits in the Unix layout. It is part of the archive format,
// whatever system reads or writes the archive.
namespace UnixMode {

inline constexpr quint32 typeMask = 0170000;
inline constexpr quint32 regularFile = 0100000;
inline constexpr quint32 folder = 0040000;
inline constexpr quint32 link = 0120000;
// Read, write and execute for owner, group and others; never set-id or sticky bits.
inline constexpr quint32 permissionBits = 0777;

inline bool isLink(quint32 mode)
{
    return (mode & typeMask) == link;
}

QFileDevice::Permissions toPermissions(quint32 mode);
quint32 fromPermissions(QFileDevice::Permissions permissions);

} // namespace UnixMode
