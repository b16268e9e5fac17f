#!/usr/bin/env bash
# The database backup against Info-ZIP's zip -1 and zip -6 on the same file, and the whole
# database update (backup, unpacking, merge, visibility, replacement) against the same work done
# by zip -6, unzip, sqlite3 and cp, at the sizes S and L and on a database of about 300 MB.
# Prints times, ratios and our peak memory above the idle process (/usr/bin/time -v).
#
# Environment: SIZES (default "S L 300MB"), REPEAT (default 3, the best run counts),
# SKIP_BUILD=1 to use the binaries already in build-release/ (the "release" preset).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-release
sizes=${SIZES:-S L 300MB}
repeat=${REPEAT:-3}
work=$root/bench/out/backup
types=1,3,5

source "$root/bench/common.sh" sample-install bench-backup

merge=$(reference_merge ../rc.db)
export merge
tools_update='set -e
cd "$1"
zip -q -6 -j ../backup/rcdb-tools.zip ../rc.db
rm -f ../update-tmp/rc.db ../update-tmp/rc.db-journal
unzip -q -o ../update-tmp/rcdb.zip -d ../update-tmp
cd ../update-tmp && sqlite3 rc.db "$merge" && cd ../update
cp ../update-tmp/rc.db ../rc.db'

# A fresh installation in $work/inst-<name> from the files of one size.
installation() {
  local inst=$work/inst-$1
  rm -rf "$inst"
  mkdir -p "$inst/update" "$inst/backup" "$inst/update-tmp"
  cp "$work/cur-$2.db" "$inst/rc.db"
  cp "$work/rcdb-$2.zip" "$inst/update-tmp/rcdb.zip"
  printf '[UpdateInfo]\ndatabase=2020-01-01\n' >"$inst/config.ini"
  echo "$inst"
}

timed t idle "$bin/bench-backup" idle
printf '%-6s %8s | %8s %8s %8s %6s %9s | %8s %8s %6s %9s\n' size "db (MB)" backup "zip -1" \
  "zip -6" ratio "+mem (MB)" update tools ratio "+mem (MB)"
for size in $sizes; do
  case $size in
    S | L) options=(--size "$size") ;;
    300MB) options=(--models 500000 --key-sets 280000 --keys-per-set 30 --own 20000) ;;
    *) echo "unknown size $size" >&2; exit 2 ;;
  esac
  "$bin/sample-install" db "${options[@]}" "$work/cur-$size.db"
  "$bin/sample-install" db "${options[@]}" --release "$work/rc.db"
  rm -f "$work/rcdb-$size.zip"
  (cd "$work" && zip -q -1 "rcdb-$size.zip" rc.db && rm rc.db)
  mb=$(( $(stat -c %s "$work/cur-$size.db") / 1048576 ))

  ours="" z1="" z6="" update="" tools="" backup_peak=0 update_peak=0
  for _ in $(seq "$repeat"); do
    rm -f "$work"/*.zip.tmp "$work/ours.zip" "$work/z1.zip" "$work/z6.zip"
    timed t m "$bin/bench-backup" backup "$work/cur-$size.db" "$work/ours.zip"
    ours=$(best "$t" "$ours"); backup_peak=$(( m > backup_peak ? m : backup_peak ))
    timed t m zip -q -1 -j "$work/z1.zip" "$work/cur-$size.db"; z1=$(best "$t" "$z1")
    timed t m zip -q -6 -j "$work/z6.zip" "$work/cur-$size.db"; z6=$(best "$t" "$z6")

    inst=$(installation ours "$size")
    timed t m "$bin/bench-backup" update "$inst/update" "$types"
    update=$(best "$t" "$update"); update_peak=$(( m > update_peak ? m : update_peak ))
    inst=$(installation tools "$size")
    timed t m bash -c "$tools_update" tools "$inst/update"
    tools=$(best "$t" "$tools")
  done
  printf '%-6s %8d | %8s %8s %8s %6s %9d | %8s %8s %6s %9d\n' "$size" "$mb" "$ours" "$z1" "$z6" \
    "$(ratio "$ours" "$z1")" $(( (backup_peak - idle) / 1024 )) "$update" "$tools" \
    "$(ratio "$update" "$tools")" $(( (update_peak - idle) / 1024 ))
  rm -rf "$work/inst-ours" "$work/inst-tools" "$work"/*.zip "$work/cur-$size.db"
done
