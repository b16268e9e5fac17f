#include "app/startup.h"

#include <QTranslator>

namespace Startup {

QString automaticModeValue(const QStringList &arguments)
{
    QString value;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments.at(i) != QLatin1String("-A"))
            continue;
        if (i + 1 >= arguments.size())
            break;
        value = arguments.at(++i);
    }
    return value;
}

bool isAutomaticMode(const QStringList &arguments)
{
    const QString value = automaticModeValue(arguments);
    return value == QLatin1String("1") || value == QLatin1String("true");
}

bool loadTranslation(QTranslator &translator, const QString &fileName)
{
    return translator.load(fileName);
}

} // namespace Startup
