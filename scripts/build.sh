#!/usr/bin/env bash
# Installs what is missing, then configures and builds pcreport, the monitor
# and the tests into BUILD_DIR (default: build/ in the checkout).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
"$top/scripts/setup.sh"
cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPCREPORT_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
