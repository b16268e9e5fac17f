#!/usr/bin/env bash
# Builds build-windows/bin/updater.exe for 64-bit Windows on Debian 12 (MinGW-w64, Qt linked
# statically) and runs its tests under Wine. Installs what is missing (as root), then takes the
# dependency prefix, in this order, from:
#   1. KESTRELIX_MINGW_PREFIX,
#   2. one already unpacked at /opt/qt6-mingw,
#   3. ../shared/windows/kestrelix-mingw-deps.tar.xz beside the repository, unpacked to /opt when
#      its archives are sound,
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
bash scripts/install-deps.sh "${packages[@]}"
phase_done packages

is_prefix() {
    [ -f "$1/lib/cmake/Qt6/qt.toolchain.cmake" ]
}
# The archives below a prefix that the linker can not read, which would otherwise show up only as
# "malformed archive" at the first link.
damaged_in() {
    local archive
    while IFS= read -r -d '' archive; do
        x86_64-w64-mingw32-ar t "$archive" >/dev/null 2>&1 || printf '%s ' "${archive#"$1"/}"
    done < <(find "$1" -name '*.a' -print0)
}
# With KESTRELIX_NO_DEPS_BUILD set (scripts/test.sh sets it), no prefix is built from the sources,
# which takes the best part of an hour: the script ends with status 3 instead.
no_prefix() {
    echo "$1" >&2
    if [ -n "${KESTRELIX_NO_DEPS_BUILD:-}" ]; then
        exit 3
    fi
    echo "building one from Debian's sources into /opt/qt6-mingw"
    rm -rf /opt/qt6-mingw
    bash scripts/windows-deps.sh /opt/qt6-mingw
}
tarball=$here/../shared/windows/kestrelix-mingw-deps.tar.xz
if [ -n "${KESTRELIX_MINGW_PREFIX:-}" ]; then
    prefix=$KESTRELIX_MINGW_PREFIX
    if ! is_prefix "$prefix"; then
        echo "KESTRELIX_MINGW_PREFIX=$prefix holds no Qt for MinGW-w64" >&2
        exit 1
    fi
else
    prefix=/opt/qt6-mingw
    if ! is_prefix "$prefix" && [ -f "$tarball" ]; then
        # Unpacked beside and checked first: a damaged prefix is never left where the next run
        # would take it.
        echo "unpacking $tarball"
        unpacked=$(mktemp -d /opt/qt6-mingw.XXXXXX)
        tar xJf "$tarball" -C "$unpacked"
        damaged=$(damaged_in "$unpacked/qt6-mingw")
        if [ -z "$damaged" ] && is_prefix "$unpacked/qt6-mingw"; then
            rm -rf "$prefix"
            mv "$unpacked/qt6-mingw" "$prefix"
        fi
        rm -rf "$unpacked"
        if [ -n "$damaged" ]; then
            no_prefix "the prefix in $tarball has damaged archives: $damaged"
        fi
    fi
    if ! is_prefix "$prefix"; then
        no_prefix "no MinGW-w64 prefix at hand"
    fi
fi
damaged=$(damaged_in "$prefix")
if [ -n "$damaged" ]; then
    echo "the prefix $prefix has damaged archives: $damaged" >&2
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
