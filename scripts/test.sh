#!/usr/bin/env bash
# Sets everything up on a fresh Debian 12 machine, builds, and runs the whole test suite; then
# runs it again under the sanitizers and runs the fuzz targets (scripts/sanitize.sh, fuzz.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/build.sh
bash scripts/check-format.sh
ctest --preset default
# The build for shipping: without tests and test tools, so without Qt's Test module, and
# cmake --install gives the updater with its catalogues.
cmake --preset package >/dev/null
cmake --build --preset package -j"$(nproc)" >/dev/null
if grep -q '^Qt6Test_DIR:' build-package/CMakeCache.txt; then
    echo "the build for shipping looks for Qt Test" >&2
    exit 1
fi
shipped=$(mktemp -d)
cmake --install build-package --prefix "$shipped" >/dev/null
test -x "$shipped/updater" && test -f "$shipped/Languages/update_de.qm"
rm -rf "$shipped"
# FUZZ_SECONDS: how long each fuzz target runs (25 s by default).
bash scripts/sanitize.sh
bash scripts/fuzz.sh "${FUZZ_SECONDS:-25}"

# The Windows build and its tests under Wine, when a MinGW-w64 prefix is at hand: making one from
# the sources (scripts/windows-deps.sh) takes the best part of an hour.
if [ -n "${KESTRELIX_MINGW_PREFIX:-}" ] || [ -f /opt/qt6-mingw/lib/cmake/Qt6/qt.toolchain.cmake ] ||
    [ -f ../shared/windows/kestrelix-mingw-deps.tar.xz ]; then
    status=0
    KESTRELIX_NO_DEPS_BUILD=1 bash scripts/windows.sh || status=$?
    if [ $status -eq 3 ]; then
        echo "Windows build and Wine tests skipped: no sound MinGW-w64 prefix (see above);" \
            "scripts/windows-deps.sh makes one"
    elif [ $status -ne 0 ]; then
        exit $status
    fi
else
    echo "Windows build and Wine tests skipped: no MinGW-w64 prefix (KESTRELIX_MINGW_PREFIX," \
        "/opt/qt6-mingw, ../shared/windows/kestrelix-mingw-deps.tar.xz); scripts/windows-deps.sh makes one"
fi

# The share of the C++ that is test code, which must not grow (new cases are rows of existing
# tables, or files in tests/data/ and fuzz/corpus/). Blank and comment-only lines do not count.
cpp_lines() { xargs cat | grep -cvE '^\s*(//.*)?$'; }
product=$(git ls-files '*.cpp' '*.h' | grep -vE '^(tests|bench)/' | cpp_lines)
tests=$(git ls-files '*.cpp' '*.h' | grep -E '^tests/' | cpp_lines)
echo "test code: $tests of $((product + tests)) lines of C++ ($((100 * tests / (product + tests))) %)"
