#include "tools/upload-server/framereader.h"

namespace {

bool isUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

} // namespace

FrameReader::FrameReader(qint64 maxFrameSize) : maxSize(maxFrameSize) {}

FrameReader::State FrameReader::refuse(const QString &reason)
{
    why = reason;
    buffer.clear();
    current = State::Refused;
    return current;
}

FrameReader::State FrameReader::append(const QByteArray &bytes)
{
    if (current != State::NeedMore) {
        if (!bytes.isEmpty() && current == State::Complete)
            return refuse(QStringLiteral("bytes after the end of the frame"));
        return current;
    }
    qsizetype used = 0;
    if (total < 0) {
        used = qMin<qsizetype>(lengthFieldSize - header.size(), bytes.size());
        header.append(bytes.constData(), used);
        received += used;
        if (header.size() < lengthFieldSize)
            return current;
        for (char c : std::as_const(header)) {
            if (!isUpperHex(c))
                return refuse(QStringLiteral("length field is not 8 upper-case hexadecimal "
                                             "digits: %1")
                                  .arg(QString::fromLatin1(header.toPercentEncoding())));
        }
        total = header.toLongLong(nullptr, 16);
        if (total < minFrameSize)
            return refuse(QStringLiteral("frame of %1 bytes is too short").arg(total));
        if (total > maxSize)
            return refuse(QStringLiteral("frame of %1 bytes is over the limit of %2")
                              .arg(total)
                              .arg(maxSize));
    }
    const qsizetype rest = bytes.size() - used;
    if (received + rest > total)
        return refuse(QStringLiteral("%1 bytes after the end of the frame of %2 bytes")
                          .arg(received + rest - total)
                          .arg(total));
    // Grown as the bytes come, never reserved from the length field alone: a stated length is
    // only a claim.
    buffer.append(bytes.constData() + used, rest);
    received += rest;
    if (received == total)
        current = State::Complete;
    return current;
}
