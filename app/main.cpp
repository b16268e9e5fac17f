#include <QApplication>
#include <QIcon>
#include <QSettings>
#include <QTranslator>

#include "app/startup.h"
#include "app/updatedialog.h"
#include "common/diagnostics/runlog.h"
#include "common/paths.h"
#include "common/settings/settings.h"

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    RunLog::start(Paths::runLogPath(),
                  QStringLiteral("updater started: ") + QApplication::arguments().join(' '));
    application.setWindowIcon(QIcon(QStringLiteral(":/icons/updater.ico")));

    const bool automaticMode = Startup::isAutomaticMode(QApplication::arguments());

    const QSettings settings(Paths::installedConfigPath(), QSettings::IniFormat);
    const QString language = Settings::readText(settings, Settings::Key::language);

    QTranslator qtTranslator;
    Startup::loadTranslation(qtTranslator, Paths::qtTranslationFile(language));
    QApplication::installTranslator(&qtTranslator);

    // Installed last, so consulted first.
    QTranslator updaterTranslator;
    Startup::loadTranslation(updaterTranslator, Paths::updaterTranslationFile(language));
    QApplication::installTranslator(&updaterTranslator);

    UpdateDialog dialog(nullptr);
    dialog.autoUpdate = automaticMode;
    dialog.setWindowFlags(Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    dialog.show();

    return application.exec();
}
