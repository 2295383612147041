#!/usr/bin/env bash
# Grab mode as it runs for real, with its sampling, weather and sound threads,
# beside the monitor (given a fixed temperature where the machine has no
# sensor) until it has printed RECORDS records, which it must within 20 s.
# As root in namespaces of its own: its own /proc and /dev/shm, and no network
# but loopback, so the weather requests fail at once and nothing leaves the
# machine. Every line must be a whole record.
#
#   bash tests/grab_beside_monitor.sh BUILD_DIR [RECORDS]   (default 15)
set -u
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
build=$1
want=${2:-15}
isolate -n "$0" "$@" && ip link set lo up

out="$build/grab-20s.out"
pids=()
trap "stop_started TERM" EXIT
say_as="grab beside the monitor"
failure_logs=("$build/grab-20s.err" "$build/monitor-20s.err")
monitor="$build/Core Temp.exe"
if ! "$monitor" --check-sensor >/dev/null 2>&1; then
    monitor_start "$build/monitor-20s.err" "$monitor" --temperature 40 ||
        say "the monitor did not publish"
fi
# Started as ./pcreport: every argument counts for the mode, argv[0] too, and
# the build's path may hold the word check.
(cd "$build" && exec ./pcreport grab) >"$out" 2>"$build/grab-20s.err" &
grab_pid=$!
wait_lines "$out" "$want" 20
kill -TERM "$grab_pid" 2>/dev/null
wait "$grab_pid" 2>/dev/null
records=$(grep -cE "$(record_pattern)" "$out")
bad=$(not_whole_records "$out")
say "$records records"
[ -z "$bad" ] || fail "not a whole record: $(head -n 1 <<<"$bad")"
[ "$records" -ge "$want" ] || fail "fewer than $want records"
