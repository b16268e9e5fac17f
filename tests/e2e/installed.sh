#!/usr/bin/env bash
# The updater as a maker ships it: cmake --install into a staging folder, and the CPack archive
# of the same, each dropped into a sample installation as its update/ folder and run there.
#   tests/e2e/installed.sh BUILD_DIR
set -euo pipefail
build=$1
bin="$build/bin"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

check_folder() { # the updater's folder as an installation needs it
    local folder=$1
    for f in updater Languages/update_de.qm Languages/update_fr.qm Languages/update_es.qm \
        Languages/qt_de.qm Languages/qtbase_de.qm; do
        [ -f "$folder/$f" ] || { echo "FAIL: $f missing from $folder"; exit 1; }
    done
    [ -x "$folder/updater" ] || { echo "FAIL: $folder/updater is not executable"; exit 1; }
}

run_installed() { # an installation whose update/ is the given folder, updated by its updater
    local updater_folder=$1 inst="$work/inst-$2"
    "$bin/sample-install" install "$inst" --language de >/dev/null
    rm -rf "$inst/update"
    cp -a "$updater_folder" "$inst/update"
    (cd "$inst/update" && QT_QPA_PLATFORM=offscreen ./updater -A 1 2>"$inst/updater.err") || {
        echo "FAIL: the installed updater exited with $?"; cat "$inst/updater.err"; exit 1; }
    grep -q "status: 0" "$inst/update/update.log" || { echo "FAIL: no status 0"; tail "$inst/update/update.log"; exit 1; }
    # German texts: the installed catalogues were found beside the installed program.
    grep -q "text: Alle Aktualisierungen wurden installiert." "$inst/update/update.log" || {
        echo "FAIL: the German catalogue was not used"; exit 1; }
    grep -q "^main=2025" "$inst/config.ini" || { echo "FAIL: main version not recorded"; exit 1; }
}

cmake --install "$build" --prefix "$work/staging" >/dev/null
check_folder "$work/staging"
run_installed "$work/staging" staged

(cd "$work" && cpack --config "$build/CPackConfig.cmake" -B "$work/pack" >/dev/null)
archive=$(ls "$work"/pack/*.tar.gz)
mkdir "$work/unpacked"
tar -xzf "$archive" -C "$work/unpacked"
check_folder "$work/unpacked"
run_installed "$work/unpacked" packed

# The .deb names what the updater needs at run time, the SQLite driver plugin included.
deb=$(ls "$work"/pack/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6core6 libqt6widgets6 libqt6sql6 libqt6sql6-sqlite libzip4 libsodium23 libisal2; do
    grep -q "\b$needed\b" <<<"$depends" || { echo "FAIL: the .deb does not depend on $needed: $depends"; exit 1; }
done
dpkg-deb -c "$deb" | grep -q '\./opt/kestrelix/update/updater$' || { echo "FAIL: no updater in the .deb"; exit 1; }
echo "1 passed, 0 failed"
