#!/usr/bin/env bash
# Sets everything up, makes a throw-away installation with an update waiting (a first-layout
# database with own models, a newer release of the catalogue, a new executable, other files and
# distributor files) whose offer the maker signed with minisign, starts the bundled upload
# server, runs the updater on it in automatic mode and reports what changed. The report reads the files with sqlite3, unzip and the server's
# store, not with the updater's own code.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"
echo "building (log: /tmp/kestrelix-demo-build.log) ..."
bash scripts/build.sh >/tmp/kestrelix-demo-build.log 2>&1 || {
    tail -50 /tmp/kestrelix-demo-build.log
    exit 1
}
bin="$here/build/bin"

inst=$(mktemp -d /tmp/kestrelix-demo.XXXXXX)
"$bin/sample-install" install "$inst" --languages "$bin/Languages" \
    --with-database first --offer-database --update-mode 2 --models 2000 --own-models 40
cp "$inst/config.ini" "$inst/config.ini.before"

# The maker signs his offer; the installation trusts his public key. The secret key is thrown
# away at once: nothing else may ever be signed with it.
keys=$(mktemp -d /tmp/kestrelix-demo-keys.XXXXXX)
trap 'rm -rf "$keys"' EXIT
minisign -G -W -p "$keys/maker.pub" -s "$keys/maker.key" >/dev/null
bash tools/sign-offer.sh "$inst/update-tmp" "$keys/maker.key" -t "Kestrelix demo offer"
cp "$keys/maker.pub" "$inst/update/package-key.pub"
rm -rf "$keys"
trap - EXIT
db() { sqlite3 "$inst/rc.db" "$1"; }
own_before=$(db "SELECT count(*) FROM rcmodels WHERE Own = 1")
unsent_before=$(db "SELECT count(*) FROM rcmodels WHERE Own = 1 AND Flag = 0")
keys_before=$(db "SELECT count(*) FROM rckeys k JOIN rcmodels m ON k.Rcid = m.Rcid WHERE m.Own = 1")

# shellcheck source=scripts/upload-server.sh
. scripts/upload-server.sh
# The demo shows the upload: without its server (port 5678 taken, say) there is nothing to show.
if ! start_upload_server "$bin/upload-server" "$inst/upload-store" "$inst/upload-server"; then
    echo "demo: the upload server could not start on 127.0.0.1:5678; is the port taken?" >&2
    kill "$upload_server_pid" 2>/dev/null || true
    exit 1
fi
trap 'kill $upload_server_pid 2>/dev/null || true' EXIT

platform=()
if [ -z "${DISPLAY:-}" ]; then
    platform=(-platform offscreen)
fi

echo
echo "== running build/bin/updater -A 1 ${platform[*]} in $inst/update =="
start=$(date +%s%N)
status=0
(cd "$inst/update" && "$bin/updater" -A 1 "${platform[@]}" 2>"$inst/updater.log") || status=$?
end=$(date +%s%N)
echo "updater exited with $status after $(((end - start) / 1000000)) ms"

# The application is started detached: give it a moment to leave its mark.
for _ in $(seq 50); do
    [ -s "$inst/started.log" ] && break
    sleep 0.1
done

echo
echo "== the offer =="
if grep -q "Offer .* verified" "$inst/updater.log"; then
    echo "signed offer verified with $inst/update/package-key.pub;" \
        "$(grep -c '\.zip=' "$inst/update-tmp/config.ini") packages checked against their SHA-256"
else
    echo "the offer was NOT verified:"
    grep -E "not installed|refused|Refused" "$inst/updater.log" || true
fi

echo
echo "== versions in config.ini =="
for key in main database other; do
    printf '%-9s %s -> %s\n' "$key" \
        "$(sed -n "s/^$key=//p" "$inst/config.ini.before")" "$(sed -n "s/^$key=//p" "$inst/config.ini")"
done

echo
echo "== the user's own models =="
echo "before: $own_before own models with $keys_before keys, $unsent_before never uploaded"
echo "after:  $(db "SELECT count(*) FROM rcmodels WHERE Own = 1") own models with" \
    "$(db "SELECT count(*) FROM rckeys k JOIN rcmodels m ON k.Rcid = m.Rcid WHERE m.Own = 1") keys" \
    "(converted key numbers, e.g. $(db "SELECT group_concat(Nkey, ',') FROM (SELECT Nkey FROM rckeys WHERE Rcid = (SELECT min(Rcid) FROM rcmodels WHERE Own = 1) LIMIT 5)"))," \
    "$(db "SELECT count(*) FROM rcmodels WHERE Own = 1 AND Flag = 0") left to upload"
echo "an own model by O'Neil: $(db "SELECT Brand || ' / ' || Author FROM rcmodels WHERE Own = 1 AND Author LIKE 'O%Neil' LIMIT 1")"

echo
echo "== supplied models by remote-control types $(sed -n 's/^rcTypes=//p' "$inst/config.ini" | tr -d '"') =="
echo "visible: $(db "SELECT count(*) FROM rcmodels WHERE Own = 0 AND Hidden = 0")," \
    "hidden: $(db "SELECT count(*) FROM rcmodels WHERE Own = 0 AND Hidden = 1")"

echo
echo "== backup =="
for f in "$inst"/backup/*.zip; do
    unzip -l "$f" | sed -n '4p' | awk -v f="$(basename "$f")" '{print f ": " $4 ", " $1 " bytes"}'
done

echo
echo "== upload received by the server =="
for f in "$inst"/upload-store/*.db; do
    [ -e "$f" ] || { echo "(nothing stored)"; break; }
    echo "$(basename "$f"): $(sqlite3 "$f" 'SELECT count(*) FROM rcmodels') models," \
        "$(sqlite3 "$f" 'SELECT count(*) FROM rckeys') keys, from" \
        "$(sqlite3 "$f" 'SELECT company FROM about')"
done

echo
echo "== executable and other files =="
echo "kestrelix.exe is now: $(sed -n '2p' "$inst/kestrelix.exe")"
(cd "$inst" && find help distributor -type f | sort | sed 's/^/unpacked: /')
echo
echo "== the application was started again =="
cat "$inst/started.log" 2>/dev/null || echo "(not started)"
echo
echo "installation: $inst; diagnostics of the run: $inst/updater.log"
