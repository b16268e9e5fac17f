#include "tools/upload-server/connection.h"

#include <cstdio>

#include <QElapsedTimer>
#include <QPointer>
#include <QTcpSocket>
#include <QThreadPool>

#include "tools/upload-server/uploadstore.h"

Connection::Connection(QTcpSocket *socket, const ServerOptions &options, QObject *parent)
    : QObject(parent), m_socket(socket), m_options(options), m_reader(options.maxFrameSize)
{
    m_socket->setParent(this);
    m_peer =
        QStringLiteral("%1:%2").arg(m_socket->peerAddress().toString()).arg(m_socket->peerPort());

    // The timer restarts with every piece of the frame: a sender that stalls is dropped, one
    // that keeps sending a large frame is not.
    m_readTimer.setSingleShot(true);
    m_readTimer.setInterval(m_options.readTimeout);
    connect(&m_readTimer, &QTimer::timeout, this, [this] {
        refuse(QStringLiteral("read timeout after %1 of %2 bytes")
                   .arg(m_reader.receivedSize())
                   .arg(m_reader.expectedSize() < 0 ? QStringLiteral("?")
                                                    : QString::number(m_reader.expectedSize())));
    });
    connect(m_socket, &QTcpSocket::readyRead, this, &Connection::readFrame);
    connect(m_socket, &QTcpSocket::disconnected, this, &Connection::finish);
    m_readTimer.start();
    readFrame();
}

void Connection::log(const QString &text) const
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(m_peer), qPrintable(text));
    std::fflush(stderr);
}

void Connection::readFrame()
{
    if (m_closing)
        return;
    const FrameReader::State before = m_reader.state();
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty())
        return;
    const FrameReader::State state = m_reader.append(bytes);
    if (state == FrameReader::State::Refused) {
        refuse(m_reader.reason());
        return;
    }
    if (state == FrameReader::State::NeedMore) {
        m_readTimer.start();
        return;
    }
    if (before == FrameReader::State::Complete)
        return;
    m_readTimer.stop();
    log(QStringLiteral("frame of %1 bytes received").arg(m_reader.expectedSize()));
    if (m_options.answerFirst)
        answer();

    // The heavy part runs on a pool thread; the answer comes back through this object's event
    // queue, and is dropped with it when the client has gone meanwhile.
    const QByteArray block = m_reader.compressedBlock();
    const qint64 maxDocument = m_options.maxDocumentSize;
    const QString folder = m_options.storeFolder;
    const QString from = m_peer;
    QPointer<Connection> self(this);
    QThreadPool::globalInstance()->start([self, block, maxDocument, folder, from] {
        QElapsedTimer clock;
        clock.start();
        const UploadStore::Result result = UploadStore::receive(block, maxDocument, folder, from);
        const qint64 msecs = clock.elapsed();
        if (!self)
            return;
        QMetaObject::invokeMethod(
            self.data(),
            [self, result, msecs] {
                if (self)
                    self->stored(result.ok, result.reason, result.file, result.models, result.keys,
                                 msecs);
            },
            Qt::QueuedConnection);
    });
}

void Connection::refuse(const QString &reason)
{
    if (m_closing)
        return;
    log(QStringLiteral("refused: ") + reason);
    m_closing = true;
    m_readTimer.stop();
    m_socket->abort();
    deleteLater();
}

void Connection::stored(bool ok, const QString &reason, const QString &file, int models, int keys,
                        qint64 msecs)
{
    if (m_closing)
        return;
    if (!ok) {
        refuse(reason);
        return;
    }
    log(QStringLiteral("stored %1 models and %2 keys in %3 (%4 ms)")
            .arg(models)
            .arg(keys)
            .arg(file)
            .arg(msecs));
    if (!m_options.answerFirst)
        answer();
}

void Connection::answer()
{
    switch (m_options.mode) {
    case AnswerMode::Answer:
        m_socket->write(m_options.answer);
        log(QStringLiteral("answered %1")
                .arg(QString::fromLatin1(m_options.answer.toPercentEncoding())));
        break;
    case AnswerMode::SplitAnswer: {
        m_socket->write(m_options.answer.left(1));
        m_socket->flush();
        QPointer<QTcpSocket> target(m_socket);
        const QByteArray rest = m_options.answer.mid(1);
        QTimer::singleShot(m_options.splitDelay, this, [target, rest] {
            if (target && target->state() == QAbstractSocket::ConnectedState)
                target->write(rest);
        });
        log(QStringLiteral("answering in two parts"));
        break;
    }
    case AnswerMode::Close:
        log(QStringLiteral("m_closing without an answer"));
        m_closing = true;
        m_socket->disconnectFromHost();
        break;
    case AnswerMode::Silent:
        log(QStringLiteral("not answering"));
        break;
    }
}

void Connection::finish()
{
    const bool early = !m_closing && m_reader.state() == FrameReader::State::NeedMore;
    if (early)
        log(QStringLiteral("refused: connection closed after %1 of %2 bytes")
                .arg(m_reader.receivedSize())
                .arg(m_reader.expectedSize() < 0 ? QStringLiteral("?")
                                                 : QString::number(m_reader.expectedSize())));
    m_closing = true;
    m_readTimer.stop();
    deleteLater();
}
