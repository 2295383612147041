#!/usr/bin/env bash
# Builds the Windows program, one self-contained pcreport.exe (static Qt Core,
# static libcurl, static C++ runtime), cross-compiled with mingw-w64 with
# warnings as errors (the `mingw` preset), together with its tests. Builds
# (or takes from the cache) Qt and libcurl first. Writes the release beside
# it, pcreport-<version>-windows-x86_64.zip, and prints the path of
# pcreport.exe last.
#
#   scripts/build_windows.sh [build dir]     (default: build-windows)
#
# PCREPORT_BUILD_TARGET=pcreport builds that target alone (and the zip).
# The zip's time stamps come from SOURCE_DATE_EPOCH, else from the time of
# the checkout's last commit, so that the same commit gives the same bytes.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-windows}
target=${PCREPORT_BUILD_TARGET:-}
qt=$("$top/scripts/deps/build_qt_mingw.sh")
curl=$("$top/scripts/deps/build_curl_mingw.sh")
mkdir -p "$build"
(cd "$top" && PCREPORT_QT_PREFIX=$qt PCREPORT_CURL_PREFIX=$curl cmake --preset mingw -B "$build") \
    >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" -j2 ${target:+--target "$target"} >"$build/build.log" 2>&1 ||
    { grep -E -B2 -A6 'error|Error' "$build/build.log" | head -n 80 >&2; echo "build failed (see $build/build.log)" >&2; exit 1; }

# --- the release zip -----------------------------------------------------------
# pcreport.exe with the texts a Windows user needs, CR LF line ends for
# Notepad. The same bytes every time: a fixed order, fixed times (in UTC,
# since zip stores local time) and modes, and no extra fields (zip -X).
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[ -n "$version" ] || { echo "no project version in $build/CMakeCache.txt" >&2; exit 1; }
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct 2>/dev/null || true)}
epoch=${epoch:-315532800} # 1980-01-01, the earliest time a zip can hold
zip=$build/pcreport-$version-windows-x86_64.zip
stage=$build/release
rm -rf "$stage" "$zip"
mkdir -p "$stage"
cp "$build/pcreport.exe" "$stage/pcreport.exe"
crlf() { sed 's/\r$//; s/$/\r/' "$top/$1" >"$stage/$2"; }
crlf docs/README-windows.txt README.txt
crlf LICENSE LICENSE.txt
crlf THIRD_PARTY_NOTICES THIRD_PARTY_NOTICES.txt
chmod 0755 "$stage/pcreport.exe"
chmod 0644 "$stage/README.txt" "$stage/LICENSE.txt" "$stage/THIRD_PARTY_NOTICES.txt"
TZ=UTC0 touch -d "@$epoch" "$stage"/*
(cd "$stage" && TZ=UTC0 zip -q -X -D "$zip" pcreport.exe README.txt LICENSE.txt \
    THIRD_PARTY_NOTICES.txt) || { echo "writing $zip failed" >&2; exit 1; }
echo "$build/pcreport.exe"
