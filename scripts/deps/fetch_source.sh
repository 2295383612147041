#!/usr/bin/env bash
# Unpacks a Debian 12 source package into the dependency cache and prints the
# path of its source tree. The download goes through a private source list, so
# the system's own apt configuration is left alone; the unpacked tree is kept
# and reused by every later call.
#
#   scripts/deps/fetch_source.sh PACKAGE [VERSION]
#
# Without VERSION it takes the newest the archive has (bookworm and its
# security and stable updates), so the tree's name, PACKAGE-VERSION, can key
# the caches of whatever is built from it.
#
# The cache is the dependency cache of cached_build.sh.
set -euo pipefail
pkg=$1
version=${2:-}
# shellcheck source=cached_build.sh
. "$(dirname "$0")/cached_build.sh"
srcroot=$deps_cache/src
if [ -n "$version" ] && [ -f "$srcroot/$pkg-$version/.unpacked" ]; then
    echo "$srcroot/$pkg-$version"
    exit 0
fi

for tool in apt-get dpkg-source; do
    command -v "$tool" >/dev/null || fail "$tool is missing (apt-get install dpkg-dev)"
done

apt_dir=$deps_cache/apt
mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$srcroot"
cat >"$apt_dir/parts/debian-src.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
mkdir -p "$apt_dir/cache/archives/partial"
apt_opts=(-q -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$apt_dir/parts"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
    -o APT::Sandbox::User=root)
# One index download serves every package fetched within the hour.
if [ -z "$(find "$apt_dir/lists" -maxdepth 1 -name '*Sources*' -mmin -60 2>/dev/null)" ]; then
    apt-get "${apt_opts[@]}" update >&2
fi
if [ -z "$version" ]; then
    version=$(apt-cache "${apt_opts[@]}" showsrc "$pkg" | awk '/^Version:/ { print $2 }' | sort -V | tail -n 1)
    [ -n "$version" ] || fail "no source package $pkg"
fi
tree=$srcroot/$pkg-$version
if [ -f "$tree/.unpacked" ]; then
    echo "$tree"
    exit 0
fi

work=$(mktemp -d "$srcroot/.fetch.XXXXXX")
trap 'rm -rf "$work"' EXIT
(cd "$work" && apt-get "${apt_opts[@]}" source --download-only "$pkg=$version" >&2)
dsc=$(ls "$work"/*.dsc)
rm -rf "$tree"
dpkg-source --no-check -x "$dsc" "$tree" >&2
touch "$tree/.unpacked"
echo "$tree"
