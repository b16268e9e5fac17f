#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer (the CMake preset
# "asan": clang, build-asan/) and runs the whole CTest suite under them.
#
# Every sanitized process writes its report to build-asan/sanitizer-logs/ rather than to its
# standard error: the tests start the updater and the upload server as child processes, whose
# standard error a test does not always show, and a report there must fail the run as well.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/install-deps.sh
cmake --preset asan
cmake --build --preset asan -j"$(nproc)"

logs="$here/build-asan/sanitizer-logs"
rm -rf "$logs"
mkdir -p "$logs"
# shellcheck source=scripts/sanitizer-options.sh
. scripts/sanitizer-options.sh
sanitizer_options "$logs"

status=0
ctest --test-dir build-asan --output-on-failure -j2 --timeout 900 || status=$?

reports=("$logs"/*)
if [ -e "${reports[0]}" ]; then
    echo
    echo "== sanitizer reports (${#reports[@]}) =="
    for report in "${reports[@]}"; do
        echo "--- $(basename "$report")"
        cat "$report"
    done
    status=1
fi
if [ "$status" -eq 0 ]; then
    echo "sanitizers: the whole suite passed with no report"
fi
exit "$status"
