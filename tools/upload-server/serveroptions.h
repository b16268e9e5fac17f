#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// How the upload server listens, checks, stores and answers. Shared by the server and each of
// its connections.
enum class AnswerMode {
    Answer,      // send the answer text in one write
    SplitAnswer, // its first byte, then the rest after splitDelay
    Close,       // close the connection instead of answering
    Silent       // never answer, keep the connection open
};

struct ServerOptions
{
    QHostAddress address = QHostAddress::LocalHost;
    quint16 port = 5678;
    QString storeFolder;
    qint64 maxFrameSize = 64 * 1024 * 1024;
    qint64 maxDocumentSize = 1024LL * 1024 * 1024;
    int readTimeout = 30000;
    QByteArray answer = "OK";
    AnswerMode mode = AnswerMode::Answer;
    // Answer as soon as the frame is complete, and store it afterwards: a server whose storing
    // takes no time, for timing the client alone.
    bool answerFirst = false;
    int splitDelay = 1000;
};
