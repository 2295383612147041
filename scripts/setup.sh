#!/usr/bin/env bash
# Installs whatever of the package lists given is missing (Debian 12, as root
# or through sudo); scripts/packages/run.txt, what building and running the
# program needs, when none is given. Does nothing when everything is there.
# A list holds package names, one or more a line; `#` starts a comment.
#
#   scripts/setup.sh [LIST...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
[ $# -gt 0 ] || set -- "$here/packages/run.txt"
mapfile -t wanted < <(awk '{ sub(/#.*/, ""); for (i = 1; i <= NF; i++) print $i }' "$@" | sort -u)
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
