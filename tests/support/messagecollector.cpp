#include "tests/support/messagecollector.h"

#include <cstring>

MessageCollector *MessageCollector::current = nullptr;

MessageCollector::MessageCollector(const char *category) : category(category)
{
    current = this;
    previousHandler = qInstallMessageHandler(&MessageCollector::handler);
}

MessageCollector::~MessageCollector()
{
    qInstallMessageHandler(previousHandler);
    current = nullptr;
}

void MessageCollector::handler(QtMsgType type, const QMessageLogContext &context,
                               const QString &text)
{
    MessageCollector *self = current;
    if (!self)
        return;
    {
        QMutexLocker lock(&self->mutex);
        if (context.category && std::strcmp(context.category, self->category) == 0)
            self->collected << text;
        if (type == QtWarningMsg || type == QtCriticalMsg)
            self->warned << text;
    }
    self->previousHandler(type, context, text);
}

QStringList MessageCollector::lines() const
{
    QMutexLocker lock(&mutex);
    return collected;
}

QStringList MessageCollector::warnings() const
{
    QMutexLocker lock(&mutex);
    return warned;
}

void MessageCollector::clear()
{
    QMutexLocker lock(&mutex);
    collected.clear();
    warned.clear();
}
