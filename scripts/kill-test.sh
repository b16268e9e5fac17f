#!/usr/bin/env bash
# Kills the updater at many random moments of a run (200 by default) and checks each time that
# the installation holds whole components, recorded versions that match them, and that a second
# run finishes the work. KILL_SEED repeats a sequence of kill points.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/build.sh
QT_QPA_PLATFORM=offscreen UPDATER_BIN_DIR="$here/build/bin" KILL_POINTS="${1:-200}" \
    "$here/build/tests/tst_interrupted"
