#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include "tools/upload-server/framereader.h"
#include "tools/upload-server/serveroptions.h"

class QTcpSocket;

// One client's upload: collects its frame, hands it to a pool thread for storing, and answers.
class Connection : public QObject
{
    Q_OBJECT

public:
    Connection(QTcpSocket *socket, const ServerOptions &options, QObject *parent);

private:
    void readFrame();
    void refuse(const QString &reason);
    void stored(bool ok, const QString &reason, const QString &file, int models, int keys,
                qint64 msecs);
    void answer();
    void finish();
    void log(const QString &text) const;

    QTcpSocket *m_socket;
    const ServerOptions &m_options;
    FrameReader m_reader;
    QTimer m_readTimer;
    QString m_peer;
    bool m_closing = false;
};
