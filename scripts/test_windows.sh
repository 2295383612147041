#!/usr/bin/env bash
# The Windows layer of pcreport, proven without Windows: cross-compiles
# pcreport.exe and its tests with mingw-w64 (scripts/build_windows.sh, the
# `mingw` preset) and runs them with ctest under wine (the `wine` test
# preset): the QtTest tables of the Win32 sources, pcreport.exe end to end,
# the release zip, in a private, headless wine prefix beside a private
# PulseAudio server (tests/windows).
#
#   scripts/test_windows.sh [build dir]     (default: build/windows)
#
# Installs what is missing (apt-get, as root or through sudo).
# PCREPORT_FAKE_WEATHER_SERVICE names the Linux build's
# tests/weather_fake_service, for the weather cases. Safe to run again: the
# build and the prefix are reused. Ends with ctest's summary and status.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=../tests/lib.sh
. "$top/tests/lib.sh"
build=${1:-$top/build/windows}
mkdir -p "$build"
build=$(cd "$build" && pwd)

if ! isolated "$0"; then
    packages=$top/scripts/packages
    "$top/scripts/setup.sh" "$packages/run.txt" "$packages/test.txt" "$packages/windows.txt" >&2 ||
        fail "installing the packages of scripts/packages/{run,test,windows}.txt failed"
    say "building pcreport.exe and its tests into $build"
    "$top/scripts/build_windows.sh" "$build" || fail "the build failed"
fi
# The tests run in namespaces of their own (tests/lib.sh): no process, shared
# memory or network of the machine's, and no wineserver either (their
# sockets lie in /tmp/.wine-UID).
if isolate -n "$0" "$@"; then
    mkdir -p "/tmp/.wine-$(id -u)"
    mount -t tmpfs -o mode=0700 tmpfs "/tmp/.wine-$(id -u)" || fail "no private /tmp/.wine-$(id -u)"
fi
# Before CMake 3.30 ctest takes a test preset's folder over --test-dir: the
# preset where the build is its folder (as in scripts/test.sh), its settings
# spelt out elsewhere.
if [ "$build" = "$top/build/windows" ]; then
    cd "$top" && ctest --preset wine
else
    cd "$build" && ctest --output-on-failure --timeout 300
fi
