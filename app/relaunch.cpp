#include "app/relaunch.h"

#include <cstdio>
#include <cstdlib>

#include <QDir>
#include <QProcess>

#include "common/logging.h"
#include "common/paths.h"

namespace Relaunch {

namespace {
Hook &testHook()
{
    static Hook hook;
    return hook;
}
} // namespace

void startAndExit(const QString &executableName)
{
    QDir::setCurrent(QDir(QStringLiteral("..")).absolutePath());
    // The name comes from the user's settings: split as a command line, "/bin/sh -c …" would run
    // whatever it says, with the updater's rights.
    const bool plain = Paths::isPlainName(executableName);
    if (!plain)
        qCWarning(lcApp).noquote()
            << "Not started:" << executableName << "is not the name of a file in the installation";
    if (testHook()) {
        if (plain)
            testHook()(executableName);
        return;
    }
    if (plain) {
        const QString program = QDir::current().absoluteFilePath(executableName);
        if (QProcess::startDetached(program, {}, QDir::currentPath()))
            qCDebug(lcApp).noquote() << "Started" << program;
        else
            qCWarning(lcApp).noquote() << "Could not start" << program;
    }
    std::fflush(nullptr);
    std::_Exit(0);
}

void exitWithoutStarting()
{
    qCInfo(lcApp) << "Ended without starting the application";
    if (testHook()) {
        testHook()(QString());
        return;
    }
    std::fflush(nullptr);
    std::_Exit(0);
}

void setHookForTesting(Hook hook)
{
    testHook() = std::move(hook);
}

} // namespace Relaunch
