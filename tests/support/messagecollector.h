#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtMessageHandler>

// Collects the lines of one logging category, from whatever thread, and every warning.
class MessageCollector
{
public:
    explicit MessageCollector(const char *category);
    ~MessageCollector();

    QStringList lines() const;
    QStringList warnings() const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);

    const char *category;
    mutable QMutex mutex;
    QStringList collected;
    QStringList warned;
    QtMessageHandler previousHandler;
    static MessageCollector *current;
};
