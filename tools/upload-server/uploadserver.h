#pragma once

#include <QObject>
#include <QString>

#include "tools/upload-server/serveroptions.h"

class QTcpServer;

// The receiving end of the own-model upload. Every connection carries one frame; the server
// checks it, stores the upload and answers "OK", then leaves the connection for the client to
// close. Everything is driven by the event loop, so a slow sender never holds up the others;
// decompressing, parsing and storing run on pool threads.
class UploadServer : public QObject
{
    Q_OBJECT

public:
    explicit UploadServer(const ServerOptions &options, QObject *parent = nullptr);

    bool listen();
    QString errorString() const;
    quint16 serverPort() const;
    const ServerOptions &options() const { return m_options; }

private:
    void acceptConnections();

    ServerOptions m_options;
    QTcpServer *m_server;
};
