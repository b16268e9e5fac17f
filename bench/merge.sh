#!/usr/bin/env bash
# The own-model merge plus the visibility rule, timed against the sqlite3 command doing the same
# work (ATTACH, DELETE ... WHERE Rcid IN, INSERT ... SELECT, the two visibility updates) on
# copies of the same files, at the sizes S and L. Prints both times, their ratio and our peak
# memory, and checks that both ways leave the same rows.
#
# Environment: SIZES (default "S L"), REPEAT (default 3, the best run counts),
# SKIP_BUILD=1 to use the binaries already in build-release/ (the "release" preset).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-release
sizes=${SIZES:-S L}
repeat=${REPEAT:-3}
work=$root/bench/out/merge
types=1,3,5

source "$root/bench/common.sh" sample-install bench-merge
reference=$(reference_merge "$work/ref/cur.db")

tables() { sqlite3 "$1" "SELECT * FROM rcmodels; SELECT * FROM rckeys;" | md5sum | cut -c1-32; }

printf '%-5s %12s %12s %8s %14s %s\n' size "ours (s)" "sqlite3 (s)" ratio "our peak (MB)" rows
for size in $sizes; do
  "$bin/sample-install" db --size "$size" "$work/cur-$size.db"
  "$bin/sample-install" db --size "$size" --release "$work/new-$size.db"
  ours_best="" ref_best="" peak=0
  for _ in $(seq "$repeat"); do
    mkdir -p "$work/ours" "$work/ref"
    cp "$work/cur-$size.db" "$work/ours/cur.db"
    cp "$work/new-$size.db" "$work/ours/new.db"
    cp "$work/cur-$size.db" "$work/ref/cur.db"
    cp "$work/new-$size.db" "$work/ref/new.db"
    timed t m "$bin/bench-merge" "$work/ours/cur.db" "$work/ours/new.db" "$types"
    ours_best=$(best "$t" "$ours_best")
    peak=$(( m > peak ? m : peak ))
    timed t m sqlite3 "$work/ref/new.db" "$reference"
    ref_best=$(best "$t" "$ref_best")
  done
  same=different
  [ "$(tables "$work/ours/new.db")" = "$(tables "$work/ref/new.db")" ] && same=same
  printf '%-5s %12s %12s %8s %14d %s\n' "$size" "$ours_best" "$ref_best" \
    "$(ratio "$ours_best" "$ref_best")" \
    $((peak / 1024)) "$same"
  rm -rf "$work/ours" "$work/ref" "$work/cur-$size.db" "$work/new-$size.db"
done
