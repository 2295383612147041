#!/usr/bin/env bash
# The whole Linux test suite again, with pcreport, the monitor, the fixtures
# and the tests built with AddressSanitizer (leaks included) and
# UndefinedBehaviorSanitizer in a build of their own.
#
#   scripts/test_sanitizers.sh [build dir]   (default: $BUILD_DIR/sanitize,
#                                             BUILD_DIR defaulting to build/)
#
# Fails when the build fails, when a test fails, or when any process the
# tests run wrote a sanitizer report, even one whose output and exit status
# nobody looked at. The reports are printed at the end.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${BUILD_DIR:-$top/build}/sanitize}
started=$(date +%s)
say() { echo "sanitizer stage: $*" >&2; }

"$top/scripts/setup.sh" || { say "setup failed"; exit 1; }
if ! cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPCREPORT_WERROR=ON \
        -DPCREPORT_SANITIZE=address,undefined -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON >/dev/null; then
    say "configure failed"
    exit 1
fi
if ! cmake --build "$build" -j"$(nproc)"; then
    say "build failed"
    exit 1
fi

# Every report goes to a file here (cmake/sanitizer_reports.cpp), whichever
# process wrote it; a clean run leaves the directory empty.
logs="$build/sanitizer-reports"
rm -rf "$logs"
mkdir -p "$logs"
export PCREPORT_SANITIZER_LOG="$logs/report"

# A report ends the process with SIGABRT, which no test takes for an ordinary
# exit, and the leak check runs whenever a process exits. No leak is
# suppressed: Qt, libcurl and libpulse keep their globals reachable, and
# reachable memory is no leak.
common="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$PCREPORT_SANITIZER_LOG"
export ASAN_OPTIONS="$common:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="$common"

status=0
(cd "$build" && ctest --output-on-failure -j"$(nproc)" --timeout 300) || status=1

reports=("$logs"/*)
if [ -e "${reports[0]}" ]; then
    status=1
    for report in "${reports[@]}"; do
        echo "==== $report"
        cat "$report"
    done
    say "${#reports[@]} sanitizer report(s), above"
fi
say "took $(($(date +%s) - started)) s"
exit $status
