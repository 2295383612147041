#!/usr/bin/env bash
# The whole Linux test suite again, with pcreport, the monitor, the fixtures
# and the tests built with sanitizers in a build of their own, then
# `pcreport grab` for 20 s beside the monitor in that build.
#
#   scripts/test_sanitizers.sh [build dir]
#       AddressSanitizer (leaks included) and UndefinedBehaviorSanitizer,
#       with gcc (default build dir: $BUILD_DIR/sanitize, BUILD_DIR
#       defaulting to build/)
#   scripts/test_sanitizers.sh --thread [build dir]
#       ThreadSanitizer, with clang, against Qt built for it from Debian's
#       source package by scripts/deps/build_qt_tsan.sh (cached; the first
#       build takes long) (default build dir: $BUILD_DIR/tsan)
#
# Fails when the build fails, when a test fails, when grab mode prints
# fewer records than it should, or when any process wrote a sanitizer
# report, even one whose output and exit status nobody looked at. The
# reports are printed at the end.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=../tests/lib.sh
. "$top/tests/lib.sh"
mode=address preset=asan folder=sanitize timeout=300
lists=("$top/scripts/packages/test.txt")
if [ "${1:-}" = "--thread" ]; then
    # ThreadSanitizer slows the programs several times over.
    mode=thread preset=tsan folder=tsan timeout=900
    lists+=("$top/scripts/packages/clang.txt")
    shift
fi
build=${1:-${BUILD_DIR:-$top/build}/$folder}
say_as="sanitizer stage ($mode)"

"$top/scripts/setup.sh" "${lists[@]}" || fail "setup failed"
if [ $mode = thread ]; then
    # Qt's own hand-overs between threads are only visible to TSan when Qt
    # is instrumented too; clang, as Qt was built with it (the tsan preset).
    PCREPORT_QT_PREFIX=$("$top/scripts/deps/build_qt_tsan.sh") || fail "building Qt for ThreadSanitizer failed"
    export PCREPORT_QT_PREFIX
    say "Qt ready after $SECONDS s"
fi
PCREPORT_PRESET=$preset BUILD_DIR=$build "$top/scripts/build.sh" || fail "build failed"

# Every report goes to a file here (cmake/sanitizer_reports.cpp), whichever
# process wrote it; a clean run leaves the directory empty.
logs="$build/sanitizer-reports"
rm -rf "$logs"
mkdir -p "$logs"
export PCREPORT_SANITIZER_LOG="$logs/report"

# A report ends the process with SIGABRT, which no test takes for an ordinary
# exit; ctest then shows a test that aborted without a word (ThreadSanitizer
# adds "nested bug in the same thread" as it dies), because the report is in
# its file here, printed at the end. No report is suppressed. AddressSanitizer's leak check runs whenever
# a process exits: Qt, libcurl and libpulse keep their globals reachable, and
# reachable memory is no leak.
common="halt_on_error=1:abort_on_error=1:log_path=$PCREPORT_SANITIZER_LOG"
export ASAN_OPTIONS="$common:print_stacktrace=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1"
export UBSAN_OPTIONS="$common:print_stacktrace=1"
# handle_abort: an abort that nothing explains (one test of the suite did so
# once, never again in many runs) leaves a report with its stack here too.
export TSAN_OPTIONS="$common:second_deadlock_stack=1:handle_abort=1"

status=0
# The faults injected end to end take minutes and exercise the built programs
# as a reader sees them; the plain build runs them, this one the rest.
suite "$build" -LE faults --timeout $timeout || status=1

# Grab mode as it runs for real beside the monitor, in namespaces of its own.
bash "$top/tests/grab_beside_monitor.sh" "$build" 15 || status=1

reports=("$logs"/*)
if [ -e "${reports[0]}" ]; then
    status=1
    for report in "${reports[@]}"; do
        echo "==== $report"
        cat "$report"
    done
    say "${#reports[@]} sanitizer report(s), above"
fi
say "took $SECONDS s"
exit $status
