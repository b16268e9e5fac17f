#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang into build-fuzz/ and runs each for a bounded
# time on a copy of its seed corpus (fuzz/corpus/<target>/), printing how many inputs each ran.
# Exits non-zero when a target crashes, fails one of its checks, leaks, takes too much memory or
# hangs; the input that did it is kept in build-fuzz/findings/.
#
#   scripts/fuzz.sh [seconds] [target ...]      60 seconds each and every target by default
#
# Reproduce a finding with: build-fuzz/bin/<target> build-fuzz/findings/<file>
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
seconds=${1:-60}
[ $# -gt 0 ] && shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz-extract fuzz-frame fuzz-export)

bash scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)"

work="$here/build-fuzz/run"
findings="$here/build-fuzz/findings"
rm -rf "$work"
mkdir -p "$work" "$findings"
# shellcheck source=scripts/sanitizer-options.sh
. scripts/sanitizer-options.sh
sanitizer_options

failed=()
for target in "${targets[@]}"; do
    corpus="$work/corpus/$target"
    mkdir -p "$corpus" "$work/tmp/$target"
    cp -r "fuzz/corpus/$target/." "$corpus/"
    options=()
    [ -f "fuzz/$target.dict" ] && options+=("-dict=fuzz/$target.dict")
    # Inputs stay below 4 KiB: one allocation of 512 MiB means a size was taken on trust, and
    # ten seconds on one input is a hang. Extracted packages land in the target's own TMPDIR.
    status=0
    TMPDIR="$work/tmp/$target" "build-fuzz/bin/$target" "${options[@]}" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=512 \
        -print_final_stats=1 -artifact_prefix="$findings/$target-" "$corpus" \
        >"$work/$target.log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$target.log")
    echo "$target: ${runs:-?} executions in $seconds s (${rate:-?}/s)," \
        "corpus $(find "$corpus" -type f | wc -l) inputs"
    if [ "$status" -ne 0 ]; then
        echo "$target FAILED (exit $status); the end of its log:"
        grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)' "$work/$target.log" | tail -60
        failed+=("$target")
    fi
done
rm -rf "$work/tmp"

echo "fuzz: $((${#targets[@]} - ${#failed[@]})) passed, ${#failed[@]} failed"
if [ ${#failed[@]} -gt 0 ]; then
    echo "failed: ${failed[*]}; the inputs are in $findings"
    exit 1
fi
