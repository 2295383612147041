#!/usr/bin/env bash
# Installs whatever of scripts/debian-packages.txt (or the package list FILE
# given) is missing (Debian 12, as root or through sudo). Does nothing when
# everything is there already.
#
#   scripts/setup.sh [FILE]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
list=${1:-$here/debian-packages.txt}
mapfile -t wanted < <(grep -vE '^\s*(#|$)' "$list")
missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}" >&2
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
