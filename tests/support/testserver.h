#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>

class Client;
class QTcpSocket;

// A peer on port 5678 that reads one frame per connection and then behaves as told.
class TestServer : public QObject
{
public:
    enum class Behaviour { Answer, Split, Close, Silent, Drip, Reset, NeverRead };

    Behaviour behaviour = Behaviour::Answer;
    QByteArray answer = "OK";
    int splitDelay = 800;
    QList<QByteArray> frames;
    int connections = 0;
    QByteArray pending;

    bool listen();

private:
    void read(QTcpSocket *socket);

    QTcpServer server;
    QHash<QTcpSocket *, QByteArray> received;
};

// Runs the upload the way the update does: the client made on this thread, makeUpdate called on
// a worker thread, while this thread's event loop serves the test peer. finished tells whether
// the call ended within 30 s.
bool upload(Client &client, const QString &serverHost, int mode, bool *finished);
