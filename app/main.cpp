#include <cstdio>

#include <QApplication>
#include <QTranslator>

#include "app/startup.h"
#include "app/updatedialog.h"
#include "common/diagnostics/runlog.h"
#include "common/files/platform.h"
#include "common/logging.h"
#include "common/paths.h"
#include "common/settings/settings.h"

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    // Run as root over an installation that another account owns, the updater works with that
    // account's rights from before it reads anything of it until the restart.
    Platform::Folder installation;
    Platform::Identity identity;
    if (installation.open(Paths::installationFolder()))
        identity = Platform::actAsOwnerOf(installation);
    installation.close();
    if (identity.failed) {
        std::fprintf(stderr, "updater: can not give up root's rights for %s: %s\n",
                     qPrintable(identity.account), qPrintable(identity.errorString));
        return 1;
    }
    RunLog::start(Paths::runLogPath(),
                  QStringLiteral("updater %1 started: %2")
                      .arg(QStringLiteral(UPDATER_VERSION), QApplication::arguments().join(' ')));
    if (identity.changed)
        qCInfo(lcApp).noquote() << "Running with the rights of" << identity.account
                                << "who owns the installation";

    const bool automaticMode = Startup::isAutomaticMode(QApplication::arguments());

    // Read as the worker reads it: a file saved as UTF-16 gives its language too.
    const QString language = Settings::readInstalled().language;

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
