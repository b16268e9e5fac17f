#!/usr/bin/env bash
# Builds build-windows/bin/updater.exe for 64-bit Windows on Debian 12 (MinGW-w64, Qt linked
# statically) and runs its tests under Wine. Installs what is missing (as root), then takes the
# dependency prefix, in this order, from:
#   1. KESTRELIX_MINGW_PREFIX,
#   2. one already unpacked at /opt/qt6-mingw,
#   3. ../shared/windows/kestrelix-mingw-deps.tar.xz beside the repository, unpacked to /opt,
#   4. scripts/windows-deps.sh, which builds it from Debian's sources into /opt/qt6-mingw (about
#      50 minutes on 2 cores).
# Each phase's time is printed at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

phases=()
started=$(date +%s%3N)
phase_done() {
    local now ms
    now=$(date +%s%3N)
    ms=$((now - started))
    phases+=("$(printf '%-10s %5d.%d s' "$1" $((ms / 1000)) $((ms % 1000 / 100)))")
    started=$now
}

packages=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
    wine64 xvfb xauth xz-utils cmake ninja-build
    qt6-base-dev qt6-base-dev-tools qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools
    qt6-translations-l10n libsqlite3-dev
)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]}; run this script as root to install them" >&2
        exit 1
    fi
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
fi
phase_done packages

is_prefix() {
    [ -f "$1/lib/cmake/Qt6/qt.toolchain.cmake" ]
}
tarball=$here/../shared/windows/kestrelix-mingw-deps.tar.xz
if [ -n "${KESTRELIX_MINGW_PREFIX:-}" ]; then
    prefix=$KESTRELIX_MINGW_PREFIX
    if ! is_prefix "$prefix"; then
        echo "KESTRELIX_MINGW_PREFIX=$prefix holds no Qt for MinGW-w64" >&2
        exit 1
    fi
elif is_prefix /opt/qt6-mingw; then
    prefix=/opt/qt6-mingw
elif [ -f "$tarball" ]; then
    echo "unpacking $tarball to /opt"
    tar xJf "$tarball" -C /opt
    prefix=/opt/qt6-mingw
else
    echo "no MinGW-w64 prefix at hand: building one from Debian's sources"
    bash scripts/windows-deps.sh /opt/qt6-mingw
    prefix=/opt/qt6-mingw
fi
# An archive the linker can not read would only show up as "malformed archive" at the first link.
broken=()
while IFS= read -r -d '' archive; do
    if ! x86_64-w64-mingw32-ar t "$archive" >/dev/null 2>&1; then
        broken+=("${archive#"$prefix"/}")
    fi
done < <(find "$prefix" -name '*.a' -print0)
if [ ${#broken[@]} -gt 0 ]; then
    echo "the prefix $prefix has damaged archives: ${broken[*]}" >&2
    echo "make a new one with scripts/windows-deps.sh and name it with KESTRELIX_MINGW_PREFIX" >&2
    exit 1
fi
echo "prefix: $prefix"
phase_done prefix

cmake --preset windows -DKESTRELIX_MINGW_PREFIX="$prefix" >/dev/null
phase_done configure
cmake --build --preset windows -j"$(nproc)"
phase_done build

# The tests run in a Wine prefix of the build's own, which Wine makes on first use: done once here,
# not by two tests at once.
WINEPREFIX=$here/build-windows/wine WINEDEBUG=-all /usr/lib/wine/wine64 wineboot --init \
    >/dev/null 2>&1 || true
phase_done wine
ctest --preset windows
phase_done tests

size=$(stat -c %s build-windows/bin/updater.exe)
echo "build-windows/bin/updater.exe: $size bytes"
printf '%s\n' "${phases[@]}"
