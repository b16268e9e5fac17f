#!/usr/bin/env bash
# Signs an update offer for installations that hold the maker's public key.
#
#   tools/sign-offer.sh UPDATE_FOLDER SECRET_KEY [minisign options]
#
# Writes the [Packages] section of UPDATE_FOLDER/config.ini anew, one line per package of the
# folder (every *.zip) with its SHA-256 in lower-case hex, then signs the whole config.ini with
# minisign into config.ini.minisig. One signature thus binds the offered versions and the
# packages' contents together. Extra options go to `minisign -S` (-l for a legacy signature,
# -t "comment" for the trusted comment); minisign asks for the key's password unless the key was
# made without one (-W).
set -euo pipefail

if [ $# -lt 2 ]; then
  sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
folder=$1
key=$2
shift 2
config="$folder/config.ini"
if [ ! -f "$config" ]; then
  echo "sign-offer: no $config" >&2
  exit 1
fi
command -v minisign >/dev/null || { echo "sign-offer: minisign is not installed" >&2; exit 1; }

# The offer without any earlier [Packages] section, then the section as the folder is now.
new=$(mktemp "$folder/.config.ini.XXXXXX")
trap 'rm -f "$new"' EXIT
awk '/^[[:space:]]*\[/ { skip = ($0 ~ /^[[:space:]]*\[Packages\][[:space:]]*$/) } !skip' "$config" > "$new"
{
  echo "[Packages]"
  for package in "$folder"/*.zip; do
    [ -f "$package" ] || continue
    echo "$(basename "$package")=$(sha256sum "$package" | cut -d' ' -f1)"
  done
} >> "$new"
mv "$new" "$config"
trap - EXIT

minisign -S -s "$key" -m "$config" -x "$config.minisig" "$@"
echo "signed $config ($(grep -c '\.zip=' "$config") packages) into $config.minisig"
