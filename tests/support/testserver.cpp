#include "tests/support/testserver.h"

#include <memory>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPointer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include "upload/client.h"

bool TestServer::listen()
{
    connect(&server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            ++connections;
            if (behaviour == Behaviour::NeverRead)
                continue; // accepted, and left alone
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        }
    });
    return server.listen(QHostAddress::LocalHost, Client::serverPort);
}

void TestServer::read(QTcpSocket *socket)
{
    QByteArray &buffer = received[socket];
    buffer += socket->readAll();
    pending = buffer;
    if (buffer.size() < 8 || buffer.size() < buffer.left(8).toLongLong(nullptr, 16))
        return;
    frames << buffer;
    switch (behaviour) {
    case Behaviour::Answer:
        socket->write(answer);
        break;
    case Behaviour::Split: {
        socket->write(answer.left(1));
        QPointer<QTcpSocket> target(socket);
        const QByteArray rest = answer.mid(1);
        QTimer::singleShot(splitDelay, this, [target, rest] {
            if (target)
                target->write(rest);
        });
        break;
    }
    case Behaviour::Close:
        socket->disconnectFromHost();
        break;
    case Behaviour::Silent:
    case Behaviour::NeverRead:
        break;
    case Behaviour::Drip: {
        // One byte a second, for as long as there is something left to say.
        QPointer<QTcpSocket> target(socket);
        socket->write(answer.left(1));
        auto *timer = new QTimer(this);
        connect(timer, &QTimer::timeout, this, [timer, target, rest = answer.mid(1)]() mutable {
            if (!target || rest.isEmpty()) {
                timer->deleteLater();
                return;
            }
            target->write(rest.left(1));
            rest.remove(0, 1);
        });
        timer->start(1000);
        break;
    }
    case Behaviour::Reset: {
        // Closing with a zero linger time makes the peer see a reset, not an orderly end.
        const linger reset{1, 0};
        ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        socket->abort();
        break;
    }
    }
}

bool upload(Client &client, const QString &serverHost, int mode, bool *finished)
{
    bool result = false;
    std::unique_ptr<QThread> worker(
        QThread::create([&] { result = client.makeUpdate(serverHost, mode); }));
    worker->start();
    const QDeadlineTimer deadline(30000);
    while (!worker->wait(5) && !deadline.hasExpired())
        QCoreApplication::processEvents();
    *finished = worker->isFinished();
    if (!*finished)
        worker->wait();
    return result;
}
