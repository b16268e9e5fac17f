#!/usr/bin/env bash
# How the progress bar moves through a whole update of size L (SIZE=S for a quick look), with
# the upload server listening: from update.log, whose progress lines have their times, the
# longest time the bar's value stood still (a move of less than 1 %, under 4 of its 380 pixels,
# does not count), the time the bar was busy before the first step reported (the upload, during
# which the window shows a busy bar), and the moments of every move. RUNS runs (3 by default);
# the medians are printed.
#   bench/progress.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-release
work=$root/bench/out/progress
size=${SIZE:-L}
runs=${RUNS:-3}
# shellcheck source=bench/common.sh
. "$root/bench/common.sh" updater upload-server sample-install
rm -rf "$work/base" "$work/store"

. "$root/scripts/upload-server.sh"
start_upload_server "$bin/upload-server" "$work/store" "$work/server"
trap 'kill $upload_server_pid 2>/dev/null || true' EXIT

echo "making an installation of size $size ..."
"$bin/sample-install" install "$work/base" --with-database second --offer-database --size "$size" \
    --update-mode 2 --language "" >/dev/null

# The times of one run's log, in seconds from its first progress line: "stand busy moves".
standstills() {
    awk '
        function seconds(stamp,   t) { split(substr(stamp, 12), t, ":"); return t[1] * 3600 + t[2] * 60 + t[3] }
        / progress: / {
            for (i = 1; i <= NF; ++i) if ($i == "progress:") value = $(i + 1)
            now = seconds($1)
            if (start == "") { start = now; last = now; shown = value; next }
            if (busy == "" && value > 0) { busy = now - start; last = now; shown = value; moves = moves sprintf(" %.2f:%d", now - start, value); next }
            if (busy == "") next
            if (value - shown >= 10 || value == 1000) {
                if (now - last > longest) longest = now - last
                last = now; shown = value
                moves = moves sprintf(" %.2f:%d", now - start, value)
            }
        }
        / status: / { end = seconds($1); if (end - last > longest) longest = end - last }
        END { printf "%.2f %.2f%s\n", longest, busy, moves }
    ' "$1"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

: >"$work/results"
for i in $(seq "$runs"); do
    rm -rf "$work/run"
    cp -a "$work/base" "$work/run"
    (cd "$work/run/update" && "$bin/updater" -A 1 -platform offscreen >/dev/null 2>&1)
    standstills "$work/run/update/update.log" | tee -a "$work/results" | cut -d' ' -f1-2 |
        awk -v i="$i" '{ printf "run %d: longest standstill %s s, busy before the first step %s s\n", i, $1, $2 }'
done
echo "size $size, median of $runs runs: longest standstill" \
    "$(cut -d' ' -f1 "$work/results" | median) s, busy before the first step" \
    "$(cut -d' ' -f2 "$work/results" | median) s"
echo "moves of the first run (seconds:value):$(head -1 "$work/results" | cut -d' ' -f3-)"
rm -rf "$work/run"
