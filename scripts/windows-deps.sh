#!/usr/bin/env bash
# Builds the prefix that the Windows build links against, from Debian 12's own source packages:
# Qt 6.4.2 qtbase (static, release), SQLite 3.40.1 (as Qt's bundled copy inside the qsqlite
# plugin), libzip 1.7.3 and libsodium 1.0.18 (static), for x86_64 Windows with MinGW-w64. About
# 50 minutes on 2 cores. Runs as root on Debian 12 (it installs packages and adds source entries
# to apt's list).
#   scripts/windows-deps.sh [PREFIX]        (default /opt/qt6-mingw)
# Then: KESTRELIX_MINGW_PREFIX=PREFIX scripts/windows.sh
set -euo pipefail

prefix=${1:-/opt/qt6-mingw}
case $prefix in
/*) ;;
*) prefix=$(pwd)/$prefix ;;
esac
if [ -e "$prefix/lib/cmake/Qt6/qt.toolchain.cmake" ]; then
    echo "$prefix already holds a Qt; remove it first to build it again" >&2
    exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
    echo "run this script as root: it installs packages and source entries" >&2
    exit 1
fi

work=$(mktemp -d /tmp/windows-deps.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Debian's source packages come from the same archive as the machine's binary ones: a deb-src
# entry beside each deb entry, unless the machine has some already.
if ! grep -qsr '^Types:.*deb-src' /etc/apt/sources.list.d/ && ! grep -qs '^deb-src' /etc/apt/sources.list; then
    if [ ! -f /etc/apt/sources.list.d/debian.sources ]; then
        echo "no /etc/apt/sources.list.d/debian.sources to take the source entries from" >&2
        exit 1
    fi
    sed -n '/^Types: deb$/,/^$/p' /etc/apt/sources.list.d/debian.sources |
        sed 's/^Types: deb$/Types: deb-src/' >/etc/apt/sources.list.d/debian-src.sources
fi

# The cross compilers, Wine to run the result, Debian's Linux Qt of the same version for the host
# tools (moc, rcc, uic), and what the sources' own builds need (tcl makes SQLite's amalgamation).
packages=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools libz-mingw-w64-dev
    qt6-base-dev qt6-base-dev-tools cmake ninja-build tcl autoconf automake libtool make
    wine64 xz-utils dpkg-dev
)
missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
apt-get source --download-only qt6-base sqlite3 libzip libsodium

# The compilers for the libraries built here; Qt keeps this file in the prefix and loads it from
# its own toolchain file, which the project's cmake/mingw-w64-x86_64.cmake includes.
toolchain=$work/mingw-w64-x86_64.cmake
cat >"$toolchain" <<'TOOLCHAIN'
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
TOOLCHAIN

# The only directory that a tarball of this name unpacks to.
unpacked() {
    local dirs=("$@")
    if [ ${#dirs[@]} -ne 1 ] || [ ! -d "${dirs[0]}" ]; then
        echo "expected one source folder, found: ${dirs[*]}" >&2
        exit 1
    fi
    echo "${dirs[0]}"
}

# SQLite: Debian's qtbase source leaves out Qt's bundled copy, so the amalgamation is made from
# Debian's sqlite3 source and put where Qt's build looks for it.
tar xJf sqlite3_*.orig.tar.xz
sqlite=$(unpacked sqlite3-*/)
(cd "$sqlite" && ./configure --disable-tcl >/dev/null && make -j2 sqlite3.c >/dev/null)
tar xJf qt6-base_*.orig.tar.xz
qtbase=$(unpacked qtbase-everywhere-src-*/)
mkdir -p "$qtbase/src/3rdparty/sqlite"
cp "$sqlite/sqlite3.c" "$sqlite/sqlite3.h" "$qtbase/src/3rdparty/sqlite/"

# Qt: static, release, no OpenGL, no ICU; tablet events off because Debian's source leaves out
# wintab.h. Only the SQLite driver, with the bundled SQLite.
mkdir qt-build
(
    cd qt-build
    "../$qtbase/configure" -prefix "$prefix" -release -static -qt-host-path /usr \
        -xplatform win32-g++ -nomake examples -nomake tests -no-opengl -no-dbus -no-icu \
        -qt-zlib -qt-pcre -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz \
        -no-feature-sql-odbc -no-feature-sql-psql -no-feature-sql-mysql -sql-sqlite -qt-sqlite \
        -- -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake -DFEATURE_tabletevent=OFF -G Ninja
    ninja -j2
    cmake --install .
)
# The toolchain lives inside the prefix, found relative to Qt's own, so that the prefix can be
# moved; and the header of the SQLite inside the plugin, which the updater compiles against.
cp "$toolchain" "$prefix/lib/cmake/mingw-w64-x86_64.cmake"
sed -i "s#\"$toolchain\"#\"\${CMAKE_CURRENT_LIST_DIR}/../mingw-w64-x86_64.cmake\"#" \
    "$prefix/lib/cmake/Qt6/qt.toolchain.cmake"
if ! grep -q 'CMAKE_CURRENT_LIST_DIR}/../mingw-w64-x86_64.cmake' "$prefix/lib/cmake/Qt6/qt.toolchain.cmake"; then
    echo "Qt's toolchain file does not name the toolchain as expected" >&2
    exit 1
fi
cp "$sqlite/sqlite3.h" "$prefix/include/"

# libzip (zlib only, Windows' own crypto) and libsodium, static.
tar xJf libzip_*.orig.tar.xz
libzip=$(unpacked libzip-*/)
cmake -S "$libzip" -B libzip-build -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF \
    -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_OPENSSL=OFF -DENABLE_GNUTLS=OFF \
    -DENABLE_MBEDTLS=OFF -DENABLE_COMMONCRYPTO=OFF -DENABLE_WINDOWS_CRYPTO=ON -DBUILD_TOOLS=OFF \
    -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
ninja -C libzip-build install
tar xzf libsodium_*.orig.tar.gz
libsodium=$(unpacked libsodium-*/)
(
    cd "$libsodium"
    ./autogen.sh -s
    ./configure --host=x86_64-w64-mingw32 --prefix="$prefix" --disable-shared --enable-static \
        CC=x86_64-w64-mingw32-gcc-posix
    make -j2
    make install
)
echo "$prefix"
