#include "tools/upload-server/uploadserver.h"

#include <QTcpServer>
#include <QTcpSocket>

#include "tools/upload-server/connection.h"

UploadServer::UploadServer(const ServerOptions &options, QObject *parent)
    : QObject(parent), settings(options), server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &UploadServer::acceptConnections);
}

bool UploadServer::listen()
{
    return server->listen(settings.address, settings.port);
}

QString UploadServer::errorString() const
{
    return server->errorString();
}

quint16 UploadServer::serverPort() const
{
    return server->serverPort();
}

void UploadServer::acceptConnections()
{
    while (QTcpSocket *socket = server->nextPendingConnection())
        new Connection(socket, settings, this);
}
