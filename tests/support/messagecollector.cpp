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
        // Our own categories warn about failures a test provokes; any other warning (Qt's own,
        // about threads or connections) is misuse.
        const bool ours = context.category && std::strncmp(context.category, "kestrelix.", 10) == 0;
        if ((type == QtWarningMsg || type == QtCriticalMsg) && !ours)
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
