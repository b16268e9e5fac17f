#include "common/diagnostics/runlog.h"

#include <cstdio>
#include <memory>

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

#include "common/files/platform.h"

namespace RunLog {

namespace {

const QByteArray runMarker = QByteArrayLiteral("=== ");

Platform::File *logFile = nullptr;
QtMessageHandler previousHandler = nullptr;
QMutex logMutex;

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "debug";
    case QtInfoMsg:
        return "info";
    case QtWarningMsg:
        return "warning";
    case QtCriticalMsg:
        return "critical";
    case QtFatalMsg:
        return "fatal";
    }
    return "?";
}

void writeLine(const QByteArray &line)
{
    QMutexLocker locker(&logMutex);
    if (!logFile)
        return;
    logFile->write(line.constData(), line.size());
}

QByteArray stamp()
{
    return QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toUtf8();
}

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    QByteArray line = stamp() + ' ' + levelName(type) + ' ' +
                      (context.category ? QByteArray(context.category) : QByteArray("default")) +
                      ": " + message.toUtf8();
    line.replace('\n', ' ');
    writeLine(line + '\n');
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

bool trim(const QString &path, qint64 bound)
{
    const QFileInfo info(path);
    Platform::Folder folder;
    if (!folder.open(info.absolutePath()))
        return false;
    Platform::File file = folder.openForReading(info.fileName(), false);
    if (!file.isOpen() || file.info().size <= bound)
        return true;
    QByteArray contents(file.info().size, Qt::Uninitialized);
    const qint64 read = file.readAt(0, contents.data(), contents.size());
    file.close();
    if (read < 0)
        return false;
    contents.truncate(read);

    // Runs start at lines beginning with the marker; keep the newest ones that fit, and always
    // the newest one.
    QList<qsizetype> starts;
    if (contents.startsWith(runMarker))
        starts << 0;
    const QByteArray boundary = '\n' + runMarker;
    for (qsizetype i = contents.indexOf(boundary); i >= 0; i = contents.indexOf(boundary, i + 1))
        starts << i + 1;
    qsizetype cut = starts.isEmpty() ? contents.size() : starts.last();
    for (auto it = starts.crbegin(); it != starts.crend(); ++it) {
        if (contents.size() - *it > bound / 2)
            break;
        cut = *it;
    }
    // The shorter log is made where nothing stands and renamed over the old one in one step.
    const QString trimmed = info.fileName() + QStringLiteral(".trim");
    if (!folder.remove(trimmed))
        return false;
    Platform::File out = folder.createFile(trimmed, 0644);
    if (!out.isOpen() || !out.write(contents.constData() + cut, contents.size() - cut)) {
        folder.remove(trimmed);
        return false;
    }
    out.close();
    return folder.rename(trimmed, folder, info.fileName()) || (folder.remove(trimmed), false);
}

bool start(const QString &path, const QString &firstLine, qint64 bound)
{
    trim(path, bound);
    const QFileInfo info(path);
    Platform::Folder folder;
    if (!folder.open(info.absolutePath()))
        return false;
    // Appended to, never written through a link or into somebody else's file by a second name.
    auto file = std::make_unique<Platform::File>(folder.openForAppending(info.fileName(), 0644));
    if (!file->isOpen())
        return false;
    {
        QMutexLocker locker(&logMutex);
        delete logFile;
        logFile = file.release();
    }
    writeLine(runMarker + stamp() + ' ' + firstLine.toUtf8() + '\n');
    previousHandler = qInstallMessageHandler(handler);
    return true;
}

} // namespace RunLog
