#include "upload/client.h"

#include <memory>
#include <thread>

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>
#include <QWaitCondition>

#include "common/contract.h"
#include "common/files/platform.h"
#include "common/logging.h"
#include "common/paths.h"
#include "upload/exportdocument.h"
#include "upload/frame.h"
#include "upload/framedeflater.h"

namespace {

const char flagStatement[] = "UPDATE rcmodels SET Flag = '1' WHERE Flag = '0' AND Own = '1' ";

// The resolver's answer, handed over between the lookup's thread and the client's; whichever of
// the two lets go last frees it.
struct LookupResult
{
    QMutex mutex;
    QWaitCondition done;
    bool finished = false;
    Client::HostAddresses found;
};

// The system's resolver, asked as Qt asks it. It touches nothing but its arguments, so that it
// may still be running when the process ends.
Client::HostAddresses systemLookup(const QString &host)
{
    const QByteArray name = QUrl::toAce(host);
    if (name.isEmpty())
        return {{}, QStringLiteral("Host not found")};
    Client::HostAddresses result;
    const Platform::HostAddresses found = Platform::lookUpHost(name);
    for (const QString &text : found.addresses) {
        const QHostAddress address(text);
        if (!address.isNull())
            result.addresses << address;
    }
    if (result.addresses.isEmpty())
        result.errorString =
            !found.errorString.isEmpty() ? found.errorString : QStringLiteral("Host not found");
    return result;
}

} // namespace

Client::Client(QObject *parent) : QObject(parent), m_hostLookup(systemLookup) {}

Client::~Client()
{
    // The socket was made on the worker thread, which has ended by now; it has no parent so that
    // it never joins the client's (GUI) thread.
    delete socket;
    closeDB();
}

void Client::setWaitTimes(int connectMsecs, int answerMsecs)
{
    m_connectTimeout = connectMsecs;
    m_answerTimeout = answerMsecs;
}

void Client::setHostLookup(HostLookup lookup)
{
    m_hostLookup = std::move(lookup);
}

void Client::ensureSocket()
{
    // A socket may only be used on the thread that made it.
    if (socket && socket->thread() != QThread::currentThread()) {
        delete socket;
        socket = nullptr;
    }
    if (!socket)
        socket = new QTcpSocket;
}

bool Client::makeUpdate(const QString &serverHost, int updateMode)
{
    clearError();
    if (!connectToServer(serverHost))
        return false;
    const bool accepted = sendDB(updateMode);
    closeDB();
    if (!accepted)
        return false;
    qCDebug(lcUpload) << "Update is successful";
    return true;
}

// The whole attempt, host lookup included, has the one connect time: Qt's own wait resolves the
// name without any bound, and a broken resolver takes far longer to give up.
bool Client::connectToServer(const QString &serverHost)
{
    ensureSocket();
    // One upload per connection: a connection left from an earlier upload is dropped.
    if (socket->state() != QAbstractSocket::UnconnectedState)
        socket->abort();
    const QDeadlineTimer deadline(m_connectTimeout);
    QList<QHostAddress> addresses;
    QString error;
    QHostAddress literal;
    if (literal.setAddress(serverHost)) {
        addresses << literal;
    } else {
        const HostAddresses found = lookUp(serverHost, deadline);
        addresses = found.addresses;
        error = found.errorString;
    }
    for (const QHostAddress &address : std::as_const(addresses)) {
        socket->connectToHost(address, serverPort, QIODevice::ReadWrite);
        if (socket->waitForConnected(int(deadline.remainingTime()))) {
            qCDebug(lcUpload) << "Connected to server";
            return true;
        }
        error = socket->errorString();
        socket->abort();
        if (deadline.hasExpired())
            break;
    }
    qCWarning(lcUpload) << "Can not connect to server" << error;
    return failBecause(QStringLiteral("Can not connect to server \"%1\"").arg(error));
}

// The lookup runs on a thread of its own and is waited for until the deadline at most; one that
// never ends holds up nothing but its thread.
Client::HostAddresses Client::lookUp(const QString &host, const QDeadlineTimer &deadline) const
{
    auto result = std::make_shared<LookupResult>();
    std::thread([result, lookup = m_hostLookup, host] {
        const HostAddresses found = lookup(host);
        const QMutexLocker locker(&result->mutex);
        result->found = found;
        result->finished = true;
        result->done.wakeAll();
    }).detach();

    const QMutexLocker locker(&result->mutex);
    while (!result->finished) {
        if (!result->done.wait(&result->mutex, deadline))
            return {{}, QStringLiteral("Host lookup timed out")};
    }
    return result->found;
}

bool Client::openDB()
{
    const QString path = Paths::installedDatabasePath();
    if (!QFileInfo::exists(path)) {
        // Opening it is what tells why it is not there.
        QFile file(path);
        file.open(QIODevice::ReadOnly);
        qCWarning(lcUpload).nospace() << "Can not find file: " << file.errorString();
        return failBecause(QStringLiteral("Can not find file: \"%1\"").arg(file.errorString()));
    }
    // Replace whatever an earlier upload left under the default name; our own handle goes first
    // so that the connection is not in use while it is removed.
    db = QSqlDatabase();
    if (QSqlDatabase::contains())
        QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
    db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    db.setDatabaseName(path);
    if (!db.open()) {
        qCWarning(lcUpload) << db.lastError().text();
        return failBecause(db.lastError().text());
    }
    qCDebug(lcUpload) << "Database is open";
    return true;
}

void Client::closeDB()
{
    db.close();
    // The connection stays registered; dropping our handle lets the next upload, on another
    // worker thread, replace it without it being in use.
    db = QSqlDatabase();
}

QByteArray Client::makePacket(const QByteArray &document) const
{
    return Frame::make(document);
}

bool Client::sendDB(int updateMode)
{
    if (!openDB())
        return false;
    if (updateMode != Contract::UpdateMode::notYetSent && updateMode != Contract::UpdateMode::all) {
        qCWarning(lcUpload) << "Wrong undateMode";
        return failBecause(QStringLiteral("Wrong undateMode"));
    }

    // The document is compressed into its frame while it is written (the same bytes as
    // makePacket() of the whole text), and the text is never held whole.
    QByteArray frame;
    {
        FrameDeflater deflater;
        ExportDocument exportDocument;
        exportDocument.setDeflater(&deflater);
        const bool found = exportDocument.build(db, updateMode);
        if (!exportDocument.errorString().isEmpty()) {
            qCWarning(lcUpload).noquote()
                << "Can not read the own models:" << exportDocument.errorString();
            return failBecause(QStringLiteral("Can not read the own models: ") +
                               exportDocument.errorString());
        }
        if (!found) {
            qCDebug(lcUpload) << "No data";
            return failBecause(QStringLiteral("No data"));
        }
        frame = deflater.finish();
    }
    if (frame.isEmpty()) {
        qCWarning(lcUpload).nospace()
            << "Error: " << QStringLiteral("The document can not be framed");
        return failBecause(QStringLiteral("Error: \"The document can not be framed\""));
    }

    if (socket->write(frame) <= 0) {
        qCWarning(lcUpload).nospace() << "Error: " << socket->errorString();
        return failBecause(QStringLiteral("Error: \"%1\"").arg(socket->errorString()));
    }
    frame.clear();
    qCDebug(lcUpload) << "Data sent";

    // Waiting also pushes the frame out. A connection that ends first has nothing to say.
    if (socket->bytesAvailable() == 0 && !socket->waitForReadyRead(m_answerTimeout)) {
        qCWarning(lcUpload) << "The server does not respond";
        return failBecause(QStringLiteral("The server does not respond"));
    }
    // Judged on what has arrived when the answer begins; later bytes are not waited for.
    const QByteArray answer = socket->readAll();
    if (answer != "OK") {
        qCWarning(lcUpload) << "Wrong response";
        return failBecause(QStringLiteral("Wrong response"));
    }
    qCDebug(lcUpload) << "Response OK";
    // Accepted whatever the marking does: unmarked models simply go again next time.
    QSqlQuery query(db);
    query.exec(QLatin1String(flagStatement));
    return true;
}
