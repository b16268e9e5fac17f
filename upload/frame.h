#pragma once

#include <QByteArray>

// One upload on the wire: eight upper-case hexadecimal digits giving the frame's total length
// (these eight included), then the document in qCompress form (a 4-byte big-endian size and a
// zlib stream).
namespace Frame {

inline constexpr int lengthFieldSize = 8;
// The largest total length that eight hexadecimal digits can state.
inline constexpr qint64 maxFrameSize = 0xFFFFFFFFLL;

// The eight characters for a frame of totalSize bytes; empty when eight digits cannot hold it.
QByteArray lengthField(qint64 totalSize);

// The whole frame for the document; empty when the document cannot be compressed or the frame
// would be too large for its length field.
QByteArray make(const QByteArray &document);

} // namespace Frame
