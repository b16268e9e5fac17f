# The sanitizers' run-time options, for scripts/sanitize.sh and scripts/fuzz.sh; sourced:
#
#   sanitizer_options [report folder]
#
# Qt, SQLite and libzip come from Debian and are not instrumented: ASan still sees every heap
# block they take through malloc and new, and our code's use of them, but not their own out-of-
# bounds accesses. Nothing they do needs an option turned off. Leaks are checked at every exit
# that runs the exit handlers (the updater leaves through _Exit after starting the application,
# which skips them). fuzz/lsan-system.supp says which system library leaks are let through.
#
# With a report folder, every sanitized process writes its report there rather than to its
# standard error (libFuzzer reads the reports from standard error, so its runs give none).
sanitizer_options() {
    local root
    root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
    local asan="detect_leaks=1:check_initialization_order=1:strict_init_order=1:detect_stack_use_after_return=1"
    local ubsan="print_stacktrace=1:halt_on_error=1"
    if [ -n "${1:-}" ]; then
        asan="$asan:log_path=$1/asan"
        ubsan="$ubsan:log_path=$1/ubsan"
    fi
    export ASAN_OPTIONS="$asan"
    export UBSAN_OPTIONS="$ubsan"
    export LSAN_OPTIONS="suppressions=$root/fuzz/lsan-system.supp:print_suppressions=0"
}
