// upload-server: the receiving end of the own-model upload, for the demo and for tests.
// See README.md beside this file.
#include <cstdio>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include "tools/upload-server/uploadserver.h"

namespace {

bool parseOptions(const QCoreApplication &app, ServerOptions *options)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Receives uploads of own models, one frame per connection, and keeps each upload in an "
        "SQLite file of its own in the store folder."));
    parser.addHelpOption();
    const QCommandLineOption address(QStringLiteral("address"),
                                     QStringLiteral("Address to listen on (127.0.0.1)."),
                                     QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("Port to listen on (5678); 0 takes a free one."),
                                  QStringLiteral("port"), QStringLiteral("5678"));
    const QCommandLineOption store(QStringLiteral("store"),
                                   QStringLiteral("Folder for the uploads (upload-store)."),
                                   QStringLiteral("folder"), QStringLiteral("upload-store"));
    const QCommandLineOption maxFrame(QStringLiteral("max-frame"),
                                      QStringLiteral("Largest frame in bytes (64 MiB)."),
                                      QStringLiteral("bytes"), QString::number(64 << 20));
    const QCommandLineOption maxDocument(
        QStringLiteral("max-document"),
        QStringLiteral("Largest uncompressed document in bytes (1 GiB)."), QStringLiteral("bytes"),
        QString::number(1LL << 30));
    const QCommandLineOption readTimeout(
        QStringLiteral("read-timeout"),
        QStringLiteral("Milliseconds a sender may stay silent before its frame is complete "
                       "(30000)."),
        QStringLiteral("ms"), QStringLiteral("30000"));
    const QCommandLineOption answer(QStringLiteral("answer"),
                                    QStringLiteral("Answer this text instead of OK."),
                                    QStringLiteral("text"));
    const QCommandLineOption answerEscaped(
        QStringLiteral("answer-hex"),
        QStringLiteral("Answer these bytes, given in hexadecimal (4F4B0A is \"OK\\n\")."),
        QStringLiteral("hex"));
    const QCommandLineOption split(
        QStringLiteral("split-answer"),
        QStringLiteral("Send the answer's first byte, and the rest after this many ms."),
        QStringLiteral("ms"));
    const QCommandLineOption closeOption(QStringLiteral("close-without-answer"),
                                         QStringLiteral("Close the connection instead of "
                                                        "answering."));
    const QCommandLineOption silent(QStringLiteral("no-answer"),
                                    QStringLiteral("Never answer; leave the connection open."));
    const QCommandLineOption answerFirst(
        QStringLiteral("answer-before-storing"),
        QStringLiteral("Answer once the frame is complete, before it is checked and stored (for "
                       "timing a client)."));
    parser.addOptions({address, port, store, maxFrame, maxDocument, readTimeout, answer,
                       answerEscaped, split, closeOption, silent, answerFirst});
    parser.process(app);

    auto fail = [](const QString &text) {
        std::fprintf(stderr, "upload-server: %s\n", qPrintable(text));
        return false;
    };
    if (!options->address.setAddress(parser.value(address)))
        return fail(QStringLiteral("not an address: ") + parser.value(address));
    bool ok = false;
    const uint portValue = parser.value(port).toUInt(&ok);
    if (!ok || portValue > 65535)
        return fail(QStringLiteral("not a port: ") + parser.value(port));
    options->port = quint16(portValue);
    options->maxFrameSize = parser.value(maxFrame).toLongLong(&ok);
    if (!ok || options->maxFrameSize <= 0 || options->maxFrameSize > 0xFFFFFFFFLL)
        return fail(QStringLiteral("--max-frame must be from 1 to 4294967295"));
    options->maxDocumentSize = parser.value(maxDocument).toLongLong(&ok);
    if (!ok || options->maxDocumentSize <= 0)
        return fail(QStringLiteral("--max-document must be a positive number"));
    options->readTimeout = parser.value(readTimeout).toInt(&ok);
    if (!ok || options->readTimeout <= 0)
        return fail(QStringLiteral("--read-timeout must be a positive number"));
    if (parser.isSet(answer))
        options->answer = parser.value(answer).toUtf8();
    if (parser.isSet(answerEscaped))
        options->answer = QByteArray::fromHex(parser.value(answerEscaped).toLatin1());
    if (parser.isSet(split)) {
        options->mode = AnswerMode::SplitAnswer;
        options->splitDelay = parser.value(split).toInt(&ok);
        if (!ok || options->splitDelay < 0)
            return fail(QStringLiteral("--split-answer needs milliseconds"));
    }
    if (parser.isSet(closeOption))
        options->mode = AnswerMode::Close;
    if (parser.isSet(silent))
        options->mode = AnswerMode::Silent;
    options->answerFirst = parser.isSet(answerFirst);

    options->storeFolder = QDir(parser.value(store)).absolutePath();
    if (!QDir().mkpath(options->storeFolder))
        return fail(QStringLiteral("can not make the store folder ") + options->storeFolder);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("upload-server"));

    ServerOptions options;
    if (!parseOptions(app, &options))
        return 2;
    UploadServer server(options);
    if (!server.listen()) {
        std::fprintf(stderr, "upload-server: can not listen on %s:%u: %s\n",
                     qPrintable(options.address.toString()), unsigned(options.port),
                     qPrintable(server.errorString()));
        return 1;
    }
    std::printf("listening on %s:%u\n", qPrintable(options.address.toString()),
                unsigned(server.serverPort()));
    std::printf("storing uploads in %s\n", qPrintable(options.storeFolder));
    std::fflush(stdout);
    return app.exec();
}
