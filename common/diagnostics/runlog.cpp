#include "common/diagnostics/runlog.h"

#include <cstdio>

#include <QDateTime>
#include <QFile>
#include <QMutex>
#include <QSaveFile>

#include "common/files/platform.h"

namespace RunLog {

namespace {

const QByteArray runMarker = QByteArrayLiteral("=== ");

int logDescriptor = -1;
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
    if (logDescriptor < 0)
        return;
    Platform::writeAll(logDescriptor, line.constData(), line.size());
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
    QFile file(path);
    if (!file.exists() || file.size() <= bound)
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray contents = file.readAll();
    file.close();

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
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    out.write(contents.constData() + cut, contents.size() - cut);
    return out.commit();
}

bool start(const QString &path, const QString &firstLine, qint64 bound)
{
    trim(path, bound);
    const int fd = Platform::openForAppend(path);
    if (fd < 0)
        return false;
    {
        QMutexLocker locker(&logMutex);
        logDescriptor = fd;
    }
    writeLine(runMarker + stamp() + ' ' + firstLine.toUtf8() + '\n');
    previousHandler = qInstallMessageHandler(handler);
    return true;
}

} // namespace RunLog
