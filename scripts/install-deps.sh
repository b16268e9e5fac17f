#!/usr/bin/env bash
# Installs what the build, the tests and the demo need on a fresh Debian 12 machine; clang with
# its sanitizer and libFuzzer runtimes (and llvm-symbolizer for readable reports) serve
# scripts/sanitize.sh and scripts/fuzz.sh.
# Only packages that are missing are installed; nothing happens when all are present. Given
# package names (as scripts/windows.sh does), it installs those instead.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools libqt6sql6-sqlite libqt6opengl6-dev
  qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools qt6-translations-l10n
  libgl-dev libzip-dev zlib1g-dev libisal-dev
  libsqlite3-dev zip unzip sqlite3 xvfb xauth python3 time strace
  clang libclang-rt-14-dev llvm
  libsodium-dev minisign clang-format fonts-dejavu-core
)
if [ $# -gt 0 ]; then
  packages=("$@")
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]}; run this script as root to install them" >&2
  exit 1
fi

echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
