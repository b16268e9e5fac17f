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
# Qt, SQLite and libzip come from Debian and are not instrumented: ASan still sees every heap
# block they take through malloc and new, and our code's use of them, but not their own out-of-
# bounds accesses. Nothing they do needs an option turned off. Leaks are checked at every exit
# that runs the exit handlers (the updater leaves through _Exit after starting the application,
# which skips them). fuzz/lsan-system.supp says which system library leaks are let through.
export ASAN_OPTIONS="detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1:log_path=$logs/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/ubsan"
export LSAN_OPTIONS="suppressions=$here/fuzz/lsan-system.supp:print_suppressions=0"

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
