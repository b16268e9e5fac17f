#!/usr/bin/env bash
# updater.exe -A 1 under Wine over a sample installation while its application runs: the own
# models kept with their keys, the backup, the running executable renamed aside and the new one
# in its place, the other packages, the versions, and the application started again. Then an
# application that still holds rc.db open: -2, nothing changed, and the log says why.
#   tests/windows/wholeupdate.sh BUILD_DIR WINE
set -euo pipefail
build=$1
wine=$2
work=$(mktemp -d "$build/wholeupdate.XXXXXX")
# The stand-ins that still run end once a file "stop" stands beside them.
finish() {
    local folder
    for folder in "$work"/*/; do touch "$folder/stop"; done
    wait
    rm -rf "$work"
}
trap finish EXIT
fail() { echo "FAIL: $*"; [ -f "$inst/update/update.log" ] && tail -20 "$inst/update/update.log"; exit 1; }
rows() { sqlite3 "$1" "$2"; }

# A sample installation at $inst with the installed stand-in and updater.exe, started with the
# arguments given, as a user's application runs until the updater has done its work.
installation() {
    inst=$work/$1
    shift
    "$wine" "$build/bin/sample-install.exe" install "Z:$inst" --with-database second \
        --offer-database --languages "Z:$build/bin/Languages" >/dev/null 2>&1 || fail "sample-install"
    cp "$build/bin/updater.exe" "$inst/update/"
    cp "$build/tests/kestrelix-installed.exe" "$inst/kestrelix.exe"
    (cd "$inst" && "$wine" "$inst/kestrelix.exe" "$@" >/dev/null 2>&1) &
    for _ in $(seq 100); do [ -f "$inst/started.log" ] && break; sleep 0.1; done
    [ -f "$inst/started.log" ] || fail "the installed stand-in did not start"
    rm "$inst/started.log"
}
update() {
    (cd "$inst/update" && "$wine" updater.exe -A 1 -platform offscreen >/dev/null 2>&1) ||
        fail "updater.exe exited with $?"
}

installation running --hold 120
# The stand-in that the main package brings.
mkdir "$work/main"
cp "$build/tests/kestrelix-offered.exe" "$work/main/software.exe"
(cd "$work/main" && zip -q -r "$inst/update-tmp/main.zip" software.exe)

# What the user made, as the release holds it: quotes gone from the filtered texts, as on Linux.
own_models="SELECT Rcid, replace(Brand, '''', ''), replace(Model, '''', '') FROM rcmodels
            WHERE Own = 1 ORDER BY Rcid"
own_keys="SELECT k.Rcid, k.RCTypeId, replace(k.Name, '''', ''), k.ID, k.Nkey FROM rckeys k
          JOIN rcmodels m ON k.Rcid = m.Rcid WHERE m.Own = 1 ORDER BY k.Rcid, k.Name, k.ID"
models_before=$(rows "$inst/rc.db" "$own_models")
keys_before=$(rows "$inst/rc.db" "$own_keys")
if [ -z "$models_before" ] || [ -z "$keys_before" ]; then fail "no own models in the sample"; fi

update
grep -q "status: 0" "$inst/update/update.log" || fail "no status 0"
grep -q "^main=2025-06-30" "$inst/config.ini" || fail "main version not recorded"
grep -q "^database=2025-06-30" "$inst/config.ini" || fail "database version not recorded"
grep -q "^other=2025-06-30" "$inst/config.ini" || fail "other version not recorded"
cmp -s "$inst/kestrelix.exe" "$build/tests/kestrelix-offered.exe" || fail "the new executable is not in place"
[ ! -e "$inst/software.exe" ] || fail "software.exe left beside the old executable"
if [ -e "$inst/kestrelix.exe.old" ]; then
    cmp -s "$inst/kestrelix.exe.old" "$build/tests/kestrelix-installed.exe" || fail "kestrelix.exe.old"
    echo "the running executable was renamed aside"
else
    echo "Wine replaced the running executable in place (Windows would not)"
fi
if [ ! -f "$inst/help/index.html" ] || [ ! -f "$inst/distributor/contact.txt" ]; then fail "other packages"; fi
ls "$inst"/backup/*.zip >/dev/null 2>&1 || fail "no backup of rc.db"
[ "$(rows "$inst/rc.db" "$own_models")" = "$models_before" ] || fail "own models changed"
[ "$(rows "$inst/rc.db" "$own_keys")" = "$keys_before" ] || fail "own models' keys changed"

# The restart: the new build, started detached in the installation.
for _ in $(seq 100); do [ -f "$inst/started.log" ] && break; sleep 0.1; done
tr -d "\r" <"$inst/started.log" | grep -qxF "offered started in Z:${inst//\//\\}" ||
    fail "no restart of the new build in the installation: $(cat "$inst/started.log" 2>/dev/null)"

installation holding --hold-file rc.db 120
before=$(sha256sum "$inst/rc.db" "$inst/config.ini" "$inst/kestrelix.exe")
update
grep -q "status: -2" "$inst/update/update.log" || fail "no status -2 while rc.db is held open"
grep -q "Kestrelix must be closed" "$inst/update/update.log" || fail "the log does not say why"
[ "$(sha256sum "$inst/rc.db" "$inst/config.ini" "$inst/kestrelix.exe")" = "$before" ] ||
    fail "something changed while rc.db was held open"
if [ -n "$(ls "$inst/backup")" ]; then fail "a backup was made"; fi
echo "2 passed, 0 failed"
