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

# The whole upload as the updater makes it, from an installation of size L in mode 2 (the 10,000
# own models not sent yet, with their 200,000 keys), to a server that answers as soon as the
# frame has arrived: the client's own time, with the process start, apart from the time the
# upload server then takes to store it.
runs=${RUNS:-5}
cmake --build --preset release --target sample-install upload-server >/dev/null
echo "== the client: 10,000 own models with 200,000 keys to a server that answers at once ($runs runs)"
"$build/bin/sample-install" install "$work/base" --with-database second --size L --update-mode 2 \
    --language "" >/dev/null
# shellcheck source=scripts/upload-server.sh
. "$root/scripts/upload-server.sh"
trap 'kill ${upload_server_pid:-} 2>/dev/null || true; rm -rf "$work"' EXIT
start_upload_server "$build/bin/upload-server" "$work/store" "$work/server" --answer-before-storing
: >"$work/client.times"
for i in $(seq "$runs"); do
    rm -rf "$work/inst"
    cp -a "$work/base" "$work/inst"
    sleep 1 # the server is done storing the previous upload, and takes no core from this one
    /usr/bin/time -f '%e %M' -o "$work/time.tmp" "$build/bin/bench-upload" client \
        "$work/inst/update" 2 >"$work/client-$i.out"
    echo "$(cat "$work/time.tmp") $(sed -n 's/^connection to OK: \([0-9]*\) ms.*/\1/p' \
        "$work/client-$i.out")" >>"$work/client.times"
done
sleep 2 # the last upload is still being stored
python3 - "$work/client.times" "$work/server.log" <<'PY'
import re, statistics, sys
rows = [l.split() for l in open(sys.argv[1]) if l.strip()]
whole = [float(r[0]) for r in rows]
exchange = [int(r[2]) / 1000 for r in rows]
peak = max(int(r[1]) for r in rows) / 1024
stores = [int(m) / 1000 for m in re.findall(r"\((\d+) ms\)", open(sys.argv[2]).read())]
print(f"client process, start to end: median {statistics.median(whole):.2f} s "
      f"({min(whole):.2f}-{max(whole):.2f}), peak {peak:.0f} MiB")
print(f"connection to OK: median {statistics.median(exchange):.2f} s")
if stores:
    print(f"the server's storing afterwards: median {statistics.median(stores):.2f} s")
PY
