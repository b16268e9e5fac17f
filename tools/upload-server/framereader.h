#pragma once

#include <QByteArray>
#include <QString>

// Collects one upload frame from a connection as its bytes arrive and checks everything that can
// be checked before the document is decompressed: the length field and the frame's total size.
class FrameReader
{
public:
    enum class State { NeedMore, Complete, Refused };

    static constexpr int lengthFieldSize = 8;
    // Length field and the 4-byte size prefix, plus a zlib stream's header and trailer.
    static constexpr qint64 minFrameSize = lengthFieldSize + 4 + 6;

    explicit FrameReader(qint64 maxFrameSize);

    // Takes the next bytes from the connection.
    State append(const QByteArray &bytes);

    State state() const { return m_current; }
    // Why the frame was refused.
    QString reason() const { return m_why; }
    qint64 expectedSize() const { return m_total; }
    qint64 receivedSize() const { return m_received; }
    // The block after the length field: size prefix and zlib stream. Only when complete.
    QByteArray compressedBlock() const { return m_buffer; }

private:
    State refuse(const QString &reason);

    qint64 m_maxSize;
    qint64 m_total = -1;
    qint64 m_received = 0;
    QByteArray m_header;
    QByteArray m_buffer;
    State m_current = State::NeedMore;
    QString m_why;
};
