#pragma once

#include <deque>
#include <memory>

#include <QByteArray>
#include <QMutex>
#include <QThread>
#include <QWaitCondition>

// The frame of a document that is still being written: the document's pieces are compressed on
// a thread of their own while the next ones are written, so that writing and compressing share
// the two cores instead of taking turns. zlib writes the same stream whether its input comes in
// one piece or in many, so the frame is byte for byte Frame::make(whole document).
class FrameDeflater
{
public:
    FrameDeflater();
    ~FrameDeflater();
    FrameDeflater(const FrameDeflater &) = delete;
    FrameDeflater &operator=(const FrameDeflater &) = delete;

    // The next piece of the document, in order.
    void add(QByteArray piece);
    // Waits for the last piece to be compressed; the frame, or empty when it can not be made
    // (see Frame::make).
    QByteArray finish();

private:
    void end();
    void compress();

    QMutex m_mutex;
    QWaitCondition m_changed;
    std::deque<QByteArray> m_pieces;
    bool m_last = false;
    std::unique_ptr<QThread> m_thread;
    // Written by the compressing thread only, read after it has ended.
    QByteArray m_stream;
    quint64 m_documentSize = 0;
    bool m_failed = false;
};
