#!/usr/bin/env bash
# Installs what building needs (scripts/packages/run.txt, and qt6.txt or
# clang.txt where the build kind wants them), then configures with a preset
# of CMakePresets.json and builds pcreport, the monitor, the tests and the
# benchmark's programs, or only the TARGETs given, into BUILD_DIR (default:
# the preset's folder, build/ for the default one).
# PCREPORT_PRESET picks the build kind (default, qt6, asan, tsan, fuzz);
# PCREPORT_QT=5 (the default, what the program ships with) or 6 stands for
# the default or the qt6 preset.
#
#   scripts/build.sh [TARGET...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
case ${PCREPORT_QT:-5} in
    5) preset=${PCREPORT_PRESET:-default} ;;
    6) preset=${PCREPORT_PRESET:-qt6} ;;
    *) echo "build.sh: PCREPORT_QT must be 5 or 6" >&2; exit 2 ;;
esac
lists=("$top/scripts/packages/run.txt")
case $preset in
    qt6) lists+=("$top/scripts/packages/qt6.txt") ;;
    tsan | fuzz) lists+=("$top/scripts/packages/clang.txt") ;;
esac
configure=(--preset "$preset")
build=(--preset "$preset")
if [ -n "${BUILD_DIR:-}" ]; then
    build=("$(realpath -m "$BUILD_DIR")")
    configure+=(-B "${build[0]}")
fi
targets=()
for target in "$@"; do targets+=(--target "$target"); done
"$top/scripts/setup.sh" "${lists[@]}"
# Presets are read from the working directory.
cd "$top"
cmake "${configure[@]}"
cmake --build "${build[@]}" -j"$(nproc)" "${targets[@]}"
