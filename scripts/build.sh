#!/usr/bin/env bash
# Installs what is missing, then configures and builds with a CMake preset: "default" (build/,
# RelWithDebInfo) unless PRESET names another ("release": build-release/). CMAKE_ARGS adds cache
# settings, e.g. CMAKE_ARGS=-DUPDATER_DEFAULT_SERVER_HOST=db.example.com.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/install-deps.sh
preset=${PRESET:-default}
# shellcheck disable=SC2086 # CMAKE_ARGS holds several arguments
cmake --preset "$preset" ${CMAKE_ARGS:-} >/dev/null
cmake --build --preset "$preset" -j"$(nproc)"
