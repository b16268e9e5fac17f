#include "tools/upload-server/framereader.h"

namespace {

bool isUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

} // namespace

FrameReader::FrameReader(qint64 maxFrameSize) : m_maxSize(maxFrameSize) {}

FrameReader::State FrameReader::refuse(const QString &reason)
{
    m_why = reason;
    m_buffer.clear();
    m_current = State::Refused;
    return m_current;
}

FrameReader::State FrameReader::append(const QByteArray &bytes)
{
    if (m_current != State::NeedMore) {
        if (!bytes.isEmpty() && m_current == State::Complete)
            return refuse(QStringLiteral("bytes after the end of the frame"));
        return m_current;
    }
    qsizetype used = 0;
    if (m_total < 0) {
        used = qMin<qsizetype>(lengthFieldSize - m_header.size(), bytes.size());
        m_header.append(bytes.constData(), used);
        m_received += used;
        if (m_header.size() < lengthFieldSize)
            return m_current;
        for (char c : std::as_const(m_header)) {
            if (!isUpperHex(c))
                return refuse(QStringLiteral("length field is not 8 upper-case hexadecimal "
                                             "digits: %1")
                                  .arg(QString::fromLatin1(m_header.toPercentEncoding())));
        }
        m_total = m_header.toLongLong(nullptr, 16);
        if (m_total < minFrameSize)
            return refuse(QStringLiteral("frame of %1 bytes is too short").arg(m_total));
        if (m_total > m_maxSize)
            return refuse(QStringLiteral("frame of %1 bytes is over the limit of %2")
                              .arg(m_total)
                              .arg(m_maxSize));
    }
    const qsizetype rest = bytes.size() - used;
    if (m_received + rest > m_total)
        return refuse(QStringLiteral("%1 bytes after the end of the frame of %2 bytes")
                          .arg(m_received + rest - m_total)
                          .arg(m_total));
    // Grown as the bytes come, never reserved from the length field alone: a stated length is
    // only a claim.
    m_buffer.append(bytes.constData() + used, rest);
    m_received += rest;
    if (m_received == m_total)
        m_current = State::Complete;
    return m_current;
}
