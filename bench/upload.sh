#!/usr/bin/env bash
# Times building, serialising and framing the upload document for 20,000 own models with
# 400,000 keys, and compares it with sqlite3 printing the same rows through gzip -6.
# Usage: bench/upload.sh [models] [keys per model]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-release
models=${1:-20000}
keys=${2:-20}

cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target bench-upload >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== bench-upload ($models own models, $((models * keys)) keys)"
/usr/bin/time -v "$build/bin/bench-upload" "$models" "$keys" "$work" 2>"$work/time.txt"
grep -E "Elapsed \(wall clock\)|Maximum resident set size" "$work/time.txt"

echo "== sqlite3 printing the same rows, through gzip -6"
start=$(date +%s.%N)
/usr/bin/time -v sh -c "sqlite3 '$work/rc.db' \"SELECT * FROM rcmodels WHERE Own = '1'; \
SELECT rckeys.Rcid, rckeys.RCTypeId, rckeys.Name, rckeys.ID, rckeys.Nkey FROM rckeys \
INNER JOIN rcmodels ON rckeys.rcid = rcmodels.link WHERE Own = '1';\" | gzip -6 | wc -c" \
    2>"$work/time-baseline.txt"
end=$(date +%s.%N)
grep -E "Elapsed \(wall clock\)|Maximum resident set size" "$work/time-baseline.txt"
echo "baseline wall time: $(echo "$end - $start" | bc 2>/dev/null || python3 -c "print($end - $start)") s"
