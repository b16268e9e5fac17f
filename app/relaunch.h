#pragma once

#include <functional>

#include <QString>

// Starting the application again and ending the updater: the platform's part of the restart.
namespace Relaunch {

// Makes the absolute path of ".." the working folder, starts <that folder>/<executableName>
// detached and ends the process at once with exit code 0. The name is a program's file name in
// the installation, never a command line: one that is not a plain name is not started, and a
// warning says so. With a test hook set, the working folder changes, then only the hook is
// called (for a plain name) and the function returns.
void startAndExit(const QString &executableName);

// Ends the process at once with exit code 0, starting nothing: while another update works in the
// installation, the application must not run. A test hook is called with an empty name.
void exitWithoutStarting();

using Hook = std::function<void(const QString &executableName)>;
void setHookForTesting(Hook hook);

} // namespace Relaunch
