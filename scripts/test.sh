#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what is missing,
# builds with warnings as errors, runs every Linux test with ctest (the faults
# injected end to end among them) against Qt 5.15 and again against Qt 6,
# smoke-runs the benchmark, soaks grab mode (3 min unless
# PCREPORT_SOAK_SECONDS says otherwise) and runs it under memcheck, runs the
# suite again built with AddressSanitizer and UndefinedBehaviorSanitizer,
# and again with ThreadSanitizer against a Qt built for it (cached), fuzzes
# the decoders, then builds pcreport.exe and runs it and the Win32
# tests under wine. The faults are injected once, in the first build: the
# other builds run the rest of the suite.
#
#   scripts/test.sh            everything above (CI runs this)
#   scripts/test.sh --quick    the day-to-day check: builds against Qt 5.15 and
#                              runs the Linux suite (ctest) alone
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=../tests/lib.sh
. "$top/tests/lib.sh"
build=${BUILD_DIR:-$top/build}
export BUILD_DIR=$build

"$top/scripts/setup.sh" "$top/scripts/packages/run.txt" "$top/scripts/packages/test.txt" ||
    fail "installing the packages failed"
PCREPORT_QT=5 "$top/scripts/build.sh" || fail "build failed"

status=0
# stage NAME COMMAND...: runs one stage and says how it ended and how long it
# took, so that a run's log tells where its time went.
stage() {
    local name=$1 began=$SECONDS outcome="done in"
    shift
    "$@" || { outcome="FAILED after"; status=1; }
    echo "stage $name: $outcome $((SECONDS - began)) s" >&2
}
qt6() { PCREPORT_QT=6 BUILD_DIR=$build/qt6 "$top/scripts/build.sh" && suite "$build/qt6" -LE faults; }

stage "Linux suite, Qt 5" suite "$build"
[ "${1:-}" = --quick ] && exit $status
stage "benchmark smoke" env PCREPORT_BENCH_NO_BUILD=1 "$top/scripts/bench.sh" --smoke
stage "Linux suite, Qt 6" qt6
stage soak env PCREPORT_SOAK_SECONDS="${PCREPORT_SOAK_SECONDS:-180}" \
    bash "$top/tests/faults/soak.sh" "$build" "$build/tests/record_reader"
stage memcheck bash "$top/tests/faults/soak.sh" "$build" "$build/tests/record_reader" --memcheck
stage "AddressSanitizer and UBSan" "$top/scripts/test_sanitizers.sh" "$build/sanitize"
stage ThreadSanitizer "$top/scripts/test_sanitizers.sh" --thread "$build/tsan"
stage fuzz "$top/scripts/test_fuzz.sh" "$build/fuzz"
stage wine env PCREPORT_FAKE_WEATHER_SERVICE="$build/tests/weather_fake_service" \
    "$top/scripts/test_windows.sh" "$build/windows"
exit $status
