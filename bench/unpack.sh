#!/usr/bin/env bash
# A package of many small files (20,000 by default, in 200 folders) installed by the updater's
# extraction against Info-ZIP's unzip -o followed by sync, which is what the same durability
# costs with standard tools: every file on the disk before the version is recorded. Both unpack
# over an installation that already holds the previous release of the same files.
#
# Environment: FILES (default 20000), REPEAT (default 3, the best run counts), SKIP_BUILD=1 to
# use the binaries already in build-release/ (the "release" preset).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-release
work=$root/bench/out/unpack
files=${FILES:-20000}
repeat=${REPEAT:-3}

source "$root/bench/common.sh" bench-unpack

rm -rf "$work/src" "$work/pkg.zip"
python3 - "$work/src" "$files" <<'PY'
import os, sys
root, count = sys.argv[1], int(sys.argv[2])
for i in range(count):
    folder = os.path.join(root, "dir%03d" % (i % 200))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "file%05d.txt" % i), "w") as f:
        f.write(("line %d of a small help file\n" % i) * (1 + i % 40))
PY
(cd "$work/src" && zip -q -r "$work/pkg.zip" .)
mb=$(( $(du -sk "$work/src" | cut -f1) / 1024 ))

fresh() {
  rm -rf "$work/$1"
  cp -a "$work/src" "$work/$1"
  sync
}

ours="" peer="" peak=0
for _ in $(seq "$repeat"); do
  fresh ours
  timed t m "$bin/bench-unpack" "$work/pkg.zip" "$work/ours"
  ours=$(best "$t" "$ours"); peak=$(( m > peak ? m : peak ))
  fresh peer
  timed t m bash -c 'unzip -q -o "$1" -d "$2" && sync' peer "$work/pkg.zip" "$work/peer"
  peer=$(best "$t" "$peer")
done
printf '%-8s %8s | %8s %14s %6s %10s\n' files "MB" updater "unzip -o+sync" ratio "peak (MB)"
printf '%-8s %8s | %8s %14s %6s %10d\n' "$files" "$mb" "$ours" "$peer" "$(ratio "$ours" "$peer")" \
  $(( peak / 1024 ))
rm -rf "$work/ours" "$work/peer"
