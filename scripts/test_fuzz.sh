#!/usr/bin/env bash
# Fuzzes every decoder of outside input with libFuzzer, built with clang
# under AddressSanitizer (leaks included) and UndefinedBehaviorSanitizer.
#
#   scripts/test_fuzz.sh [build dir] [target...]
#       build dir: default $BUILD_DIR/fuzz, BUILD_DIR defaulting to build/
#       targets:   default all of fuzz/ (weather_answer, city_answer, ...)
#   PCREPORT_FUZZ_SECONDS  time per target (default 60)
#   PCREPORT_FUZZ_JOBS     targets run at once (default: the number of cores)
#
# Each target starts from its seed corpus in fuzz/corpus/<target>/ (never
# written to) and runs for the time given. The stage fails when a target
# crashes, leaks, trips a sanitizer or its own checks, runs out of memory or
# takes over 10 s on one input; the input is kept as
# <build>/fuzz-artifacts/<target>/crash-* (or leak-, timeout-, oom-) and its
# report printed. Replay one with: <build>/fuzz/fuzz_<target> <file>.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=../tests/lib.sh
. "$top/tests/lib.sh"
build=${1:-${BUILD_DIR:-$top/build}/fuzz}
shift $(($# > 0 ? 1 : 0))
seconds=${PCREPORT_FUZZ_SECONDS:-60}
jobs=${PCREPORT_FUZZ_JOBS:-$(nproc)}
say_as="fuzz stage"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for dir in "$top"/fuzz/corpus/*/; do
        targets+=("$(basename "$dir")")
    done
fi

PCREPORT_PRESET=fuzz BUILD_DIR=$build "$top/scripts/build.sh" pcreport_fuzzers || fail "build failed"

work="$build/fuzz-work"
artifacts="$build/fuzz-artifacts"
rm -rf "$work" "$artifacts"
mkdir -p "$work" "$artifacts"
# The hwmon target writes its scratch sysfs tree under TMPDIR.
export TMPDIR="$work"
export ASAN_OPTIONS="detect_leaks=1:detect_stack_use_after_return=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# One target: the corpus it grows starts empty in the build tree; the seeds
# are read from the checkout. libFuzzer's exit status is non-zero on any
# crash, leak, timeout or out-of-memory.
fuzz_one() {
    local name=$1
    mkdir -p "$work/$name/corpus" "$artifacts/$name"
    "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=16384 -print_final_stats=1 -artifact_prefix="$artifacts/$name/" \
        "$work/$name/corpus" "$top/fuzz/corpus/$name" >"$work/$name.log" 2>&1
}

failed=()
declare -A target_of=()
# reap: waits for the next target to end, and says how it went.
reap() {
    local pid
    if wait -n -p pid; then
        say "${target_of[$pid]}: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' \
            "$work/${target_of[$pid]}.log" | awk '{print $2}') runs, clean"
    else
        failed+=("${target_of[$pid]}")
    fi
    unset "target_of[$pid]"
}
# The targets run $jobs at a time; a finished slot takes the next one.
for name in "${targets[@]}"; do
    if [ ! -x "$build/fuzz/fuzz_$name" ]; then
        say "no fuzz target $name"
        failed+=("$name")
        continue
    fi
    [ ${#target_of[@]} -lt "$jobs" ] || reap
    fuzz_one "$name" &
    target_of[$!]=$name
done
while [ ${#target_of[@]} -gt 0 ]; do reap; done

for name in "${failed[@]}"; do
    echo "==== $name"
    [ -f "$work/$name.log" ] && grep -v '^#[0-9]' "$work/$name.log" | tail -n 60
    ls "$artifacts/$name" 2>/dev/null
done
say "took $SECONDS s"
[ ${#failed[@]} -eq 0 ] || fail "failed: ${failed[*]}"
