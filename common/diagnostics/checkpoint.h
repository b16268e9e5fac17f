#pragma once

#include <functional>

#include <QString>

// The moments right after the updater has checked something of ../update-tmp/: the offer read,
// a package opened and checked, the release unpacked. Nothing happens there in a real run; a test
// installs a hook to act at exactly that moment, as a local user writing into the download
// folder could, instead of hoping to win a race.
namespace Checkpoint {

using Hook = std::function<void(const QString &moment)>;

// The hook runs on whichever thread reaches a checkpoint; an empty one removes it.
void setHook(Hook hook);
void reach(const QString &moment);

} // namespace Checkpoint
