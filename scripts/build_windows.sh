#!/usr/bin/env bash
# Builds the Windows program, one self-contained pcreport.exe (static Qt Core,
# static libcurl, static C++ runtime), cross-compiled with mingw-w64 with
# warnings as errors, together with the test programs run under wine. Builds
# (or takes from the cache) Qt and libcurl first, and prints the path of
# pcreport.exe.
#
#   scripts/build_windows.sh [build dir]     (default: build-windows)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-windows}
qt=$("$top/scripts/deps/build_qt_mingw.sh")
curl=$("$top/scripts/deps/build_curl_mingw.sh")
mkdir -p "$build"
cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_PREFIX_PATH="$qt;$curl" -DCMAKE_BUILD_TYPE=Release -DPCREPORT_WERROR=ON \
    >"$build/configure.log" 2>&1 || { cat "$build/configure.log" >&2; exit 1; }
cmake --build "$build" -j2 >"$build/build.log" 2>&1 ||
    { grep -E -B2 -A6 'error|Error' "$build/build.log" | head -n 80 >&2; echo "build failed (see $build/build.log)" >&2; exit 1; }
echo "$build/pcreport.exe"
