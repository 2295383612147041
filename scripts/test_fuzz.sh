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
build=${1:-${BUILD_DIR:-$top/build}/fuzz}
shift $(($# > 0 ? 1 : 0))
seconds=${PCREPORT_FUZZ_SECONDS:-60}
jobs=${PCREPORT_FUZZ_JOBS:-$(nproc)}
started=$(date +%s)
say() { echo "fuzz stage: $*" >&2; }

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    for dir in "$top"/fuzz/corpus/*/; do
        targets+=("$(basename "$dir")")
    done
fi

"$top/scripts/setup.sh" "$top/scripts/packages/run.txt" "$top/scripts/packages/clang.txt" ||
    { say "setup failed"; exit 1; }
if ! CC=clang CXX=clang++ cmake -S "$top" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPCREPORT_WERROR=ON -DPCREPORT_SANITIZE=address,undefined -DPCREPORT_FUZZ=ON \
        -DPCREPORT_BUILD_TESTS=OFF -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON; then
    say "configure failed"
    exit 1
fi
if ! cmake --build "$build" -j"$(nproc)" --target pcreport_fuzzers; then
    say "build failed"
    exit 1
fi

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

status=0
failed=()
pids=()
names=()
# Runs the targets $jobs at a time; a finished slot takes the next target.
wait_one() {
    local i
    while true; do
        for i in "${!pids[@]}"; do
            if ! kill -0 "${pids[$i]}" 2>/dev/null; then
                if wait "${pids[$i]}"; then
                    say "${names[$i]}: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$work/${names[$i]}.log" | awk '{print $2}') runs, clean"
                else
                    failed+=("${names[$i]}")
                fi
                unset 'pids[i]' 'names[i]'
                return
            fi
        done
        sleep 1
    done
}
for name in "${targets[@]}"; do
    if [ ! -x "$build/fuzz/fuzz_$name" ]; then
        say "no fuzz target $name"
        failed+=("$name")
        continue
    fi
    while [ ${#pids[@]} -ge "$jobs" ]; do wait_one; done
    fuzz_one "$name" &
    pids+=($!)
    names+=("$name")
done
while [ ${#pids[@]} -gt 0 ]; do wait_one; done

for name in "${failed[@]}"; do
    status=1
    echo "==== $name"
    [ -f "$work/$name.log" ] && grep -v '^#[0-9]' "$work/$name.log" | tail -n 60
    ls "$artifacts/$name" 2>/dev/null
done
[ $status -eq 0 ] || say "failed: ${failed[*]}"
say "took $(($(date +%s) - started)) s"
exit $status
