#!/usr/bin/env bash
# Sets everything up, makes a throw-away installation with an update waiting, runs the updater
# on it in automatic mode and prints what changed.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
bash scripts/build.sh >/tmp/kestrelix-demo-build.log 2>&1 || {
    cat /tmp/kestrelix-demo-build.log
    exit 1
}
bin="$here/build/bin"

inst=$(mktemp -d /tmp/kestrelix-demo.XXXXXX)
"$bin/sample-install" install "$inst" --languages "$bin/Languages"
cp "$inst/config.ini" "$inst/config.ini.before"

platform=()
if [ -z "${DISPLAY:-}" ]; then
    platform=(-platform offscreen)
fi

echo
echo "== running the updater in $inst/update (automatic mode) =="
start=$(date +%s%N)
status=0
(cd "$inst/update" && "$bin/updater" -A 1 "${platform[@]}" 2>"$inst/updater.log") || status=$?
end=$(date +%s%N)
echo "updater exited with $status after $(( (end - start) / 1000000 )) ms"

# The application is started detached: give it a moment to leave its mark.
for _ in $(seq 50); do
    [ -s "$inst/started.log" ] && break
    sleep 0.1
done

echo
echo "== versions in config.ini (before -> after) =="
diff <(sed -n '/^\[UpdateInfo\]/,/^\[/p' "$inst/config.ini.before") \
     <(sed -n '/^\[UpdateInfo\]/,/^\[/p' "$inst/config.ini") | sed -n 's/^[<>]/&/p' || true
echo
echo "== executable =="
head -2 "$inst/kestrelix.exe" | tail -1
echo
echo "== files unpacked from other.zip and distributor-north.zip =="
(cd "$inst" && find help distributor -type f | sort)
echo
echo "== the application was started again =="
cat "$inst/started.log" 2>/dev/null || echo "(not started)"
echo
echo "diagnostics of the run: $inst/updater.log"
