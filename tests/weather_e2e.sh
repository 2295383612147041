#!/bin/bash
# Runs `pcreport grab` against a fake weather service, inside the private
# mount and network namespace that tst_weather_e2e starts it in with
# `unshare -mn`: only loopback exists, /etc/hosts sends both service hosts
# there, and /dev/shm is a tmpfs of its own. Prints the records that pcreport
# wrote, one per line.
#
# weather_e2e.sh BIN_DIR FAKE_SERVICE WORK_DIR CITY_ANSWER WEATHER_ANSWER
set -eu
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

bin_dir=$1
fake_service=$2
work=$3
city_answer=$4
weather_answer=$5

pids=()
trap 'stop_started TERM' EXIT
failure_logs=("$work/service.err" "$work/monitor.err" "$work/pcreport.err")

service_hosts "$work"
private_shm

# The monitor has to lie beside the program, as Core Temp does on Windows.
cp "$bin_dir/pcreport" "$bin_dir/Core Temp.exe" "$work/"
service_start "$fake_service" "$work" "$city_answer" "$weather_answer" ||
    fail "the fake service did not start"
monitor_start "$work/monitor.err" "$work/Core Temp.exe" --temperature 40 ||
    fail "the monitor did not publish"

"$work/pcreport" grab >"$work/records" 2>"$work/pcreport.err" &
pids+=($!)

# The weather reaches the records a moment after its request has been
# answered; two more records make sure it has.
wait_for 30 grep -q '^/data/2.5/weather$' "$work/requests.log" || fail "the weather was never asked for"
served=$(count_lines "$work/records")
wait_lines "$work/records" $((served + 2)) 30 || fail "no records after the weather was asked for"

# Every process must still be alive: one that crashed would leave records
# that prove nothing.
for pid in "${pids[@]}"; do
    if ! kill -0 "$pid" 2>/dev/null; then
        wait "$pid" && status=0 || status=$?
        fail "process $pid ended early (status $status)"
    fi
done

cat "$work/records"
