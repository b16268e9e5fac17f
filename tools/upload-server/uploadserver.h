#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

class QTcpServer;

// The receiving end of the own-model upload. Every connection carries one frame; the server
// checks it, stores the upload and answers "OK", then leaves the connection for the client to
// close. Everything is driven by the event loop, so a slow sender never holds up the others;
// decompressing, parsing and storing run on pool threads.
class UploadServer : public QObject
{
    Q_OBJECT

public:
    enum class AnswerMode {
        Answer,      // send the answer text in one write
        SplitAnswer, // its first byte, then the rest after splitDelay
        Close,       // close the connection instead of answering
        Silent       // never answer, keep the connection open
    };

    struct Options
    {
        QHostAddress address = QHostAddress::LocalHost;
        quint16 port = 5678;
        QString storeFolder;
        qint64 maxFrameSize = 64 * 1024 * 1024;
        qint64 maxDocumentSize = 1024LL * 1024 * 1024;
        int readTimeout = 30000;
        QByteArray answer = "OK";
        AnswerMode mode = AnswerMode::Answer;
        int splitDelay = 1000;
    };

    explicit UploadServer(const Options &options, QObject *parent = nullptr);

    bool listen();
    QString errorString() const;
    quint16 serverPort() const;
    const Options &options() const { return settings; }

private:
    void acceptConnections();

    Options settings;
    QTcpServer *server;
};
