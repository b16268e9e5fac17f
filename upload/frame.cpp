#include "upload/frame.h"

#include "common/logging.h"

namespace Frame {

QByteArray lengthField(qint64 totalSize)
{
    if (totalSize < 0 || totalSize > maxFrameSize)
        return QByteArray();
    return QByteArray::number(totalSize, 16).toUpper().rightJustified(lengthFieldSize, '0');
}

QByteArray make(const QByteArray &document)
{
    // qCompress's 4-byte size prefix cannot state more than 32 bits.
    if (quint64(document.size()) > 0xFFFFFFFFULL) {
        qCWarning(lcUpload) << "Document too large to frame:" << document.size();
        return QByteArray();
    }
    const QByteArray compressed = qCompress(document);
    if (compressed.isEmpty()) {
        qCWarning(lcUpload) << "Compression failed";
        return QByteArray();
    }
    // A frame whose length would wrap around its eight digits would be read wrongly by every
    // receiver; refuse it instead of sending a false length.
    const QByteArray field = lengthField(qint64(compressed.size()) + lengthFieldSize);
    if (field.isEmpty()) {
        qCWarning(lcUpload) << "Frame too large:" << compressed.size() + lengthFieldSize;
        return QByteArray();
    }
    QByteArray frame;
    frame.reserve(field.size() + compressed.size());
    frame.append(field);
    frame.append(compressed);
    return frame;
}

} // namespace Frame
