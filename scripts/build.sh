#!/usr/bin/env bash
# Installs what is missing, then configures and builds pcreport, the monitor
# and the tests into BUILD_DIR (default: build/ in the checkout).
# PCREPORT_QT=5 (the default, what the program ships with) or 6 picks the Qt
# major version.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
qt=()
case ${PCREPORT_QT:-5} in
    5) qt=(-DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON -DCMAKE_DISABLE_FIND_PACKAGE_Qt5=OFF) ;;
    6) qt=(-DCMAKE_DISABLE_FIND_PACKAGE_Qt5=ON -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=OFF) ;;
    *) echo "build.sh: PCREPORT_QT must be 5 or 6" >&2; exit 2 ;;
esac
"$top/scripts/setup.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPCREPORT_WERROR=ON "${qt[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)"
