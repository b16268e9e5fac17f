#include "app/relaunch.h"

#include <cstdio>
#include <cstdlib>

#include <QDir>
#include <QFileInfo>
#include <QProcess>

#include "common/logging.h"

namespace Relaunch {

namespace {
Hook &testHook()
{
    static Hook hook;
    return hook;
}
} // namespace

void startAndExit(const QString &commandLine)
{
    QDir::setCurrent(QDir(QStringLiteral("..")).absolutePath());
    if (testHook()) {
        testHook()(commandLine);
        return;
    }

    QStringList arguments = QProcess::splitCommand(commandLine);
    if (!arguments.isEmpty()) {
        QString program = arguments.takeFirst();
        // As on Windows, a bare program name means the one in the working folder when it is
        // there; only otherwise does the search path decide.
        if (!program.contains(QLatin1Char('/')) && QFileInfo(program).isFile())
            program = QDir::current().absoluteFilePath(program);
        const bool started = QProcess::startDetached(program, arguments, QDir::currentPath());
        if (started)
            qCDebug(lcApp).noquote() << "Started" << program;
        else
            qCWarning(lcApp).noquote() << "Could not start" << program;
    }
    std::fflush(nullptr);
    std::_Exit(0);
}

void setHookForTesting(Hook hook)
{
    testHook() = std::move(hook);
}

} // namespace Relaunch
