#include "upload/framedeflater.h"

#include <zlib.h>

#include "common/logging.h"
#include "upload/frame.h"

FrameDeflater::FrameDeflater() : m_thread(QThread::create([this] { compress(); }))
{
    m_thread->start();
}

FrameDeflater::~FrameDeflater()
{
    end();
}

void FrameDeflater::add(QByteArray piece)
{
    if (piece.isEmpty())
        return;
    const QMutexLocker locker(&m_mutex);
    m_pieces.push_back(std::move(piece));
    m_changed.wakeOne();
}

void FrameDeflater::end()
{
    {
        const QMutexLocker locker(&m_mutex);
        m_last = true;
        m_changed.wakeOne();
    }
    m_thread->wait();
}

QByteArray FrameDeflater::finish()
{
    end();
    if (m_failed)
        return QByteArray();
    // qCompress's form: the document's size, big-endian, before the zlib stream.
    QByteArray compressed;
    compressed.reserve(4 + m_stream.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        compressed.append(char((m_documentSize >> shift) & 0xff));
    compressed.append(m_stream);
    const QByteArray field = Frame::lengthField(qint64(compressed.size()) + Frame::lengthFieldSize);
    if (field.isEmpty()) {
        qCWarning(lcUpload) << "Frame too large:" << compressed.size() + Frame::lengthFieldSize;
        return QByteArray();
    }
    return field + compressed;
}

// The same stream as qCompress: zlib's default level, window and memory, one stream finished
// at the end.
void FrameDeflater::compress()
{
    z_stream stream{};
    if (deflateInit(&stream, Z_DEFAULT_COMPRESSION) != Z_OK) {
        m_failed = true;
        return;
    }
    QByteArray out(256 * 1024, Qt::Uninitialized);
    for (;;) {
        QByteArray piece;
        bool last = false;
        {
            QMutexLocker locker(&m_mutex);
            while (m_pieces.empty() && !m_last)
                m_changed.wait(&m_mutex);
            if (!m_pieces.empty()) {
                piece = std::move(m_pieces.front());
                m_pieces.pop_front();
            }
            last = m_last && m_pieces.empty();
        }
        m_documentSize += quint64(piece.size());
        stream.next_in = reinterpret_cast<Bytef *>(piece.data());
        stream.avail_in = uInt(piece.size());
        const int flush = last ? Z_FINISH : Z_NO_FLUSH;
        int result = Z_OK;
        do {
            stream.next_out = reinterpret_cast<Bytef *>(out.data());
            stream.avail_out = uInt(out.size());
            result = deflate(&stream, flush);
            if (result == Z_STREAM_ERROR) {
                m_failed = true;
                deflateEnd(&stream);
                return;
            }
            m_stream.append(out.constData(), out.size() - qsizetype(stream.avail_out));
        } while (stream.avail_out == 0 || (last && result != Z_STREAM_END));
        if (last)
            break;
    }
    deflateEnd(&stream);
    // The size prefix can not state more than 32 bits.
    if (m_documentSize > 0xFFFFFFFFULL || m_documentSize == 0) {
        qCWarning(lcUpload) << "Document too large to frame:" << m_documentSize;
        m_failed = true;
    }
}
