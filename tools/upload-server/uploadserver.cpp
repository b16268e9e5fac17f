#include "tools/upload-server/uploadserver.h"

#include <QTcpServer>
#include <QTcpSocket>

#include "tools/upload-server/connection.h"

UploadServer::UploadServer(const ServerOptions &options, QObject *parent)
    : QObject(parent), m_options(options), m_server(new QTcpServer(this))
{
    connect(m_server, &QTcpServer::newConnection, this, &UploadServer::acceptConnections);
}

bool UploadServer::listen()
{
    return m_server->listen(m_options.address, m_options.port);
}

QString UploadServer::errorString() const
{
    return m_server->errorString();
}

quint16 UploadServer::serverPort() const
{
    return m_server->serverPort();
}

void UploadServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server->nextPendingConnection())
        new Connection(socket, m_options, this);
}
