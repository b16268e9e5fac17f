#pragma once

#include <functional>

#include <QString>

// Starting the application again and ending the updater: the platform's part of the restart.
namespace Relaunch {

// Makes the absolute path of ".." the working folder, starts the command line detached and
// ends the process at once with exit code 0. A program named without a folder is looked up
// in the new working folder first, so the installation's own executable is the one started.
// With a test hook set, the working folder changes, then only the hook is called and the
// function returns.
void startAndExit(const QString &commandLine);

using Hook = std::function<void(const QString &commandLine)>;
void setHookForTesting(Hook hook);

} // namespace Relaunch
