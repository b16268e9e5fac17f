#include "tools/upload-server/connection.h"

#include <cstdio>

#include <QElapsedTimer>
#include <QPointer>
#include <QTcpSocket>
#include <QThreadPool>

#include "tools/upload-server/uploadstore.h"

Connection::Connection(QTcpSocket *socket, const ServerOptions &options, QObject *parent)
    : QObject(parent), socket(socket), options(options), reader(options.maxFrameSize)
{
    socket->setParent(this);
    peer = QStringLiteral("%1:%2").arg(socket->peerAddress().toString()).arg(socket->peerPort());

    // The timer restarts with every piece of the frame: a sender that stalls is dropped, one
    // that keeps sending a large frame is not.
    readTimer.setSingleShot(true);
    readTimer.setInterval(options.readTimeout);
    connect(&readTimer, &QTimer::timeout, this, [this] {
        refuse(QStringLiteral("read timeout after %1 of %2 bytes")
                   .arg(reader.receivedSize())
                   .arg(reader.expectedSize() < 0 ? QStringLiteral("?")
                                                  : QString::number(reader.expectedSize())));
    });
    connect(socket, &QTcpSocket::readyRead, this, &Connection::readFrame);
    connect(socket, &QTcpSocket::disconnected, this, &Connection::finish);
    readTimer.start();
    readFrame();
}

void Connection::log(const QString &text) const
{
    std::fprintf(stderr, "%s: %s\n", qPrintable(peer), qPrintable(text));
    std::fflush(stderr);
}

void Connection::readFrame()
{
    if (closing)
        return;
    const FrameReader::State before = reader.state();
    const QByteArray bytes = socket->readAll();
    if (bytes.isEmpty())
        return;
    const FrameReader::State state = reader.append(bytes);
    if (state == FrameReader::State::Refused) {
        refuse(reader.reason());
        return;
    }
    if (state == FrameReader::State::NeedMore) {
        readTimer.start();
        return;
    }
    if (before == FrameReader::State::Complete)
        return;
    readTimer.stop();
    log(QStringLiteral("frame of %1 bytes received").arg(reader.expectedSize()));

    // The heavy part runs on a pool thread; the answer comes back through this object's event
    // queue, and is dropped with it when the client has gone meanwhile.
    const QByteArray block = reader.compressedBlock();
    const qint64 maxDocument = options.maxDocumentSize;
    const QString folder = options.storeFolder;
    const QString from = peer;
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
    if (closing)
        return;
    log(QStringLiteral("refused: ") + reason);
    closing = true;
    readTimer.stop();
    socket->abort();
    deleteLater();
}

void Connection::stored(bool ok, const QString &reason, const QString &file, int models, int keys,
                        qint64 msecs)
{
    if (closing)
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
    answer();
}

void Connection::answer()
{
    switch (options.mode) {
    case AnswerMode::Answer:
        socket->write(options.answer);
        log(QStringLiteral("answered %1")
                .arg(QString::fromLatin1(options.answer.toPercentEncoding())));
        break;
    case AnswerMode::SplitAnswer: {
        socket->write(options.answer.left(1));
        socket->flush();
        QPointer<QTcpSocket> target(socket);
        const QByteArray rest = options.answer.mid(1);
        QTimer::singleShot(options.splitDelay, this, [target, rest] {
            if (target && target->state() == QAbstractSocket::ConnectedState)
                target->write(rest);
        });
        log(QStringLiteral("answering in two parts"));
        break;
    }
    case AnswerMode::Close:
        log(QStringLiteral("closing without an answer"));
        closing = true;
        socket->disconnectFromHost();
        break;
    case AnswerMode::Silent:
        log(QStringLiteral("not answering"));
        break;
    }
}

void Connection::finish()
{
    const bool early = !closing && reader.state() == FrameReader::State::NeedMore;
    if (early)
        log(QStringLiteral("refused: connection closed after %1 of %2 bytes")
                .arg(reader.receivedSize())
                .arg(reader.expectedSize() < 0 ? QStringLiteral("?")
                                               : QString::number(reader.expectedSize())));
    closing = true;
    readTimer.stop();
    deleteLater();
}
