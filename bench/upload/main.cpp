// Builds, serialises and frames the upload document for a database of many own models, and
// prints the time of each step and the peak memory. bench/upload.sh runs it.
//
// bench-upload client <update folder> <mode>: the whole upload of an installation, as the
// updater makes it, to an upload server on 127.0.0.1; prints the time from the connection to the
// server's "OK" and the peak memory.
#include <cstdio>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include "common/catalogue/tablelayout.h"
#include "tools/upload-server/uploadstore.h"
#include "upload/client.h"
#include "upload/exportdocument.h"
#include "upload/frame.h"

namespace {

// Peak resident memory so far, in MiB (Linux).
double peakMiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
    }
    return -1;
}

// Own models with key sets of their own, in the second layout, all not uploaded yet.
bool makeDatabase(const QString &path, int models, int keysPerModel)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("make"));
    db.setDatabaseName(path);
    if (!db.open())
        return false;
    QSqlQuery query(db);
    bool ok = query.exec(TableLayout::createModels(Generation::Second)) &&
              query.exec(TableLayout::createKeys(Generation::Second)) &&
              query.exec(QStringLiteral("CREATE INDEX rckeys_rcid ON rckeys (Rcid)")) &&
              db.transaction();
    QSqlQuery model(db), key(db);
    ok = ok &&
         model.prepare(QStringLiteral("INSERT INTO rcmodels VALUES (?, ?, ?, ?, ?, ?, ?, ?, 1, "
                                      "0, 0, ?, 0)")) &&
         key.prepare(QStringLiteral("INSERT INTO rckeys VALUES (?, ?, ?, ?, ?)"));
    for (int m = 0; ok && m < models; ++m) {
        const int rcid = 100000 + m;
        model.bindValue(0, rcid);
        model.bindValue(1, QStringLiteral("Brand %1").arg(m % 700));
        model.bindValue(2, QStringLiteral("TV"));
        model.bindValue(3, QStringLiteral("Model %1-%2").arg(m).arg(m * 7 % 1000));
        model.bindValue(4, QStringLiteral("Manual page %1").arg(m % 50));
        model.bindValue(5, rcid);
        model.bindValue(6, QStringLiteral("user"));
        model.bindValue(7, QStringLiteral(""));
        model.bindValue(8, m % 9 + 1);
        ok = model.exec();
        for (int k = 0; ok && k < keysPerModel; ++k) {
            key.bindValue(0, rcid);
            key.bindValue(1, m % 9 + 1);
            key.bindValue(2, QStringLiteral("Key %1").arg(k));
            key.bindValue(
                3, QStringLiteral("0x%1").arg((m * 31 + k) % 65536, 4, 16, QLatin1Char('0')));
            key.bindValue(4, k + 1);
            ok = key.exec();
        }
    }
    ok = ok && db.commit();
    if (!ok)
        std::fprintf(stderr, "%s\n", qPrintable(db.lastError().text()));
    return ok;
}

QElapsedTimer clientClock;
qint64 connectedAt = -1;
qint64 answeredAt = -1;

void noteClientLine(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (message.contains(QLatin1String("Connected to server")))
        connectedAt = clientClock.elapsed();
    else if (message.contains(QLatin1String("Response OK")))
        answeredAt = clientClock.elapsed();
}

int runClient(const QString &updateFolder, int mode)
{
    if (!QDir::setCurrent(updateFolder)) {
        std::fprintf(stderr, "no folder %s\n", qPrintable(updateFolder));
        return 1;
    }
    if (qEnvironmentVariableIsSet("BENCH_UPLOAD_STEPS")) {
        // The document and the frame alone, on their own connection, before the upload.
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("steps"));
        db.setDatabaseName(QStringLiteral("../rc.db"));
        if (!db.open())
            return 1;
        QElapsedTimer timer;
        timer.start();
        ExportDocument document;
        if (qEnvironmentVariableIsSet("BENCH_SPLIT_ABOVE"))
            document.setSplitAbove(qEnvironmentVariable("BENCH_SPLIT_ABOVE").toLongLong());
        document.build(db, mode, ExportDocument::About());
        const qint64 buildMs = timer.restart();
        const QByteArray frame = Frame::make(document.toByteArray());
        std::printf("document %lld ms (%lld bytes), frame %lld ms (%lld bytes)\n", buildMs,
                    qint64(document.toByteArray().size()), qint64(timer.elapsed()),
                    qint64(frame.size()));
        db.close();
    }
    QLoggingCategory::setFilterRules(QStringLiteral("kestrelix.upload.debug=true"));
    qInstallMessageHandler(noteClientLine);
    Client client;
    clientClock.start();
    const bool accepted = client.makeUpdate(QStringLiteral("127.0.0.1"), mode);
    const qint64 doneAt = clientClock.elapsed();
    if (!accepted || connectedAt < 0 || answeredAt < 0) {
        std::fprintf(stderr, "upload not accepted\n");
        return 1;
    }
    std::printf("connection to OK: %lld ms, with marking the models: %lld ms, peak %.1f MiB\n",
                answeredAt - connectedAt, doneAt - connectedAt, peakMiB());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("client"))
        return runClient(args.value(2), args.value(3, QStringLiteral("2")).toInt());
    const int models = args.value(1, QStringLiteral("20000")).toInt();
    const int keysPerModel = args.value(2, QStringLiteral("20")).toInt();
    // A folder to keep the database in, so that the script can time other tools on it.
    const QString keep = args.value(3);

    QTemporaryDir temporary;
    const QString folder = keep.isEmpty() ? temporary.path() : keep;
    QDir().mkpath(folder);
    const QString path = QDir(folder).filePath(QStringLiteral("rc.db"));
    QFile::remove(path);

    QElapsedTimer timer;
    timer.start();
    if (!makeDatabase(path, models, keysPerModel))
        return 1;
    QSqlDatabase::removeDatabase(QStringLiteral("make"));
    std::printf("database: %d own models, %d keys, %.0f ms\n", models, models * keysPerModel,
                double(timer.elapsed()));
    const double peakBefore = peakMiB();

    qint64 buildMs = 0, copyMs = 0, frameMs = 0, storeMs = 0, documentBytes = 0, frameBytes = 0;
    int modelElements = 0, keyElements = 0;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
        db.setDatabaseName(path);
        if (!db.open())
            return 1;
        ExportDocument::About about;
        about.company = QStringLiteral("company");
        about.address = QStringLiteral("address");
        about.contact = QStringLiteral("contact");

        QByteArray document;
        {
            // The document's text is written while the rows are read: building is serialising.
            ExportDocument exportDocument;
            timer.restart();
            if (!exportDocument.build(db, 3, about))
                return 1;
            buildMs = timer.restart();
            document = exportDocument.toByteArray();
            copyMs = timer.restart();
            modelElements = exportDocument.models();
            keyElements = exportDocument.keys();
        }
        timer.restart();
        const QByteArray frame = Frame::make(document);
        frameMs = timer.elapsed();
        documentBytes = document.size();

        // What the upload server does with the document before it answers.
        QTemporaryDir storeFolder;
        timer.restart();
        const UploadStore::Result stored =
            UploadStore::store(document, storeFolder.path(), QStringLiteral("bench"));
        storeMs = timer.elapsed();
        if (!stored.ok || stored.models != modelElements || stored.keys != keyElements) {
            std::fprintf(stderr, "server store failed: %s\n", qPrintable(stored.reason));
            return 1;
        }
        frameBytes = frame.size();
        db.close();
    }
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));

    std::printf("build and serialise: %6lld ms (%d models, %d keys, %lld bytes of XML)\n", buildMs,
                modelElements, keyElements, documentBytes);
    std::printf("hand over the text:  %6lld ms\n", copyMs);
    std::printf("frame:               %6lld ms (%lld bytes framed)\n", frameMs, frameBytes);
    std::printf("total:               %6lld ms\n", buildMs + copyMs + frameMs);
    std::printf("server store:        %6lld ms (the upload server's work before it answers)\n",
                storeMs);
    std::printf("peak memory: %.1f MiB after making the database, %.1f MiB at the end\n",
                peakBefore, peakMiB());
    return 0;
}
