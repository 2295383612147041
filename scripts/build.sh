#!/usr/bin/env bash
# Installs what building needs (scripts/packages/run.txt, and qt6.txt for
# Qt 6), then configures and builds pcreport, the monitor, the tests and the
# benchmark's programs into BUILD_DIR (default: build/ in the checkout), or
# only the TARGETs given.
# PCREPORT_QT=5 (the default, what the program ships with) or 6 picks the Qt
# major version.
#
#   scripts/build.sh [TARGET...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
lists=("$top/scripts/packages/run.txt")
qt=()
case ${PCREPORT_QT:-5} in
    5) qt=(-DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON -DCMAKE_DISABLE_FIND_PACKAGE_Qt5=OFF) ;;
    6) qt=(-DCMAKE_DISABLE_FIND_PACKAGE_Qt5=ON -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=OFF)
       lists+=("$top/scripts/packages/qt6.txt") ;;
    *) echo "build.sh: PCREPORT_QT must be 5 or 6" >&2; exit 2 ;;
esac
targets=()
for target in "$@"; do targets+=(--target "$target"); done
"$top/scripts/setup.sh" "${lists[@]}"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPCREPORT_WERROR=ON "${qt[@]}"
cmake --build "$build" -j"$(nproc)" "${targets[@]}"
