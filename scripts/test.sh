#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine, builds, and runs the whole test suite; then
# runs it again under the sanitizers and runs the fuzz targets (scripts/sanitize.sh, fuzz.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/build.sh
bash scripts/check-format.sh
ctest --preset default
# FUZZ_SECONDS: how long each fuzz target runs (25 s by default).
bash scripts/sanitize.sh
bash scripts/fuzz.sh "${FUZZ_SECONDS:-25}"
