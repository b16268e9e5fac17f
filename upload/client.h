#pragma once

#include <functional>

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QSqlDatabase>
#include <QString>

#include "common/errorstring.h"

class QDeadlineTimer;
class QTcpSocket;

// Sends the user's own models to the maker's database server and marks them as sent once the
// server has taken them. The names makeUpdate, sendDB, openDB, makePacket, connectToServer and the
// members socket and db are fixed: callers and tests know the client by them, typos and all. Every
// call blocks: the client is driven from the update's worker thread, which has no event loop of its
// own, so the socket and the database connection are created on that thread when they are first
// needed. A failed upload leaves its diagnostic line in errorString() as well.
class Client : public QObject, public ErrorString
{
    Q_OBJECT

public:
    static constexpr quint16 serverPort = 5678;
    static constexpr int defaultConnectTimeout = 10000;
    static constexpr int defaultAnswerTimeout = 50000;

    // The addresses of a host name, or none and the reason.
    struct HostAddresses
    {
        QList<QHostAddress> addresses;
        QString errorString;
    };
    using HostLookup = std::function<HostAddresses(const QString &host)>;

    explicit Client(QObject *parent = nullptr);
    ~Client() override;

    // Lets tests wait less than a real run does.
    void setWaitTimes(int connectMsecs, int answerMsecs);
    // Lets tests stand in for the system's resolver.
    void setHostLookup(HostLookup lookup);

    bool connectToServer(const QString &serverHost);
    bool openDB();
    QByteArray makePacket(const QByteArray &document) const;

public slots:
    bool makeUpdate(const QString &serverHost, int updateMode);

private slots:
    bool sendDB(int updateMode);

private:
    void ensureSocket();
    HostAddresses lookUp(const QString &host, const QDeadlineTimer &deadline) const;
    void closeDB();

    QTcpSocket *socket = nullptr;
    QSqlDatabase db;
    HostLookup m_hostLookup;
    int m_connectTimeout = defaultConnectTimeout;
    int m_answerTimeout = defaultAnswerTimeout;
};
