#!/bin/bash
# Runs `pcreport grab` against a fake weather service, inside the private
# mount and network namespace that tst_weather_e2e starts it in with
# `unshare -mn`: only loopback exists, and /etc/hosts sends both service
# hosts there. Prints the records that pcreport wrote, one per line.
#
# weather_e2e.sh BIN_DIR FAKE_SERVICE WORK_DIR CITY_ANSWER WEATHER_ANSWER
set -eu

bin_dir=$1
fake_service=$2
work=$3
city_answer=$4
weather_answer=$5

pids=()
cleanup() {
    status=$?
    if [ "$status" -ne 0 ]; then
        for log in service.err monitor.err pcreport.err; do
            [ -s "$work/$log" ] && sed "s/^/$log: /" "$work/$log" >&2
        done
    fi
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    wait 2>/dev/null || true
}
trap cleanup EXIT

# wait_for SECONDS COMMAND...: polls COMMAND every 50 ms until it succeeds.
wait_for() {
    local tries=$(($1 * 20))
    shift
    until "$@"; do
        tries=$((tries - 1))
        if [ "$tries" -le 0 ]; then
            echo "weather_e2e: timed out waiting for: $*" >&2
            return 1
        fi
        sleep 0.05
    done
}

ip link set lo up
printf '127.0.0.1 localhost ip-api.com api.openweathermap.org\n' >"$work/hosts"
mount --bind "$work/hosts" /etc/hosts

# The monitor has to lie beside the program, as Core Temp does on Windows.
cp "$bin_dir/pcreport" "$bin_dir/Core Temp.exe" "$work/"

: >"$work/requests.log"
"$fake_service" 80 "$city_answer" "$weather_answer" "$work/requests.log" \
    >"$work/service.out" 2>"$work/service.err" &
pids+=($!)
wait_for 10 grep -q ready "$work/service.out"

"$work/Core Temp.exe" --temperature 40 >/dev/null 2>"$work/monitor.err" &
pids+=($!)
wait_for 10 test -e /dev/shm/CoreTempMappingObject

"$work/pcreport" grab >"$work/records" 2>"$work/pcreport.err" &
pids+=($!)

# The weather reaches the records a moment after its request has been
# answered; two more records make sure it has.
wait_for 30 grep -q '^/data/2.5/weather$' "$work/requests.log"
records_at_least() {
    [ "$(wc -l <"$work/records")" -ge "$1" ]
}
served=$(wc -l <"$work/records")
wait_for 30 records_at_least $((served + 2))

# Every process must still be alive: one that crashed would leave records
# that prove nothing.
for pid in "${pids[@]}"; do
    if ! kill -0 "$pid" 2>/dev/null; then
        wait "$pid" && status=0 || status=$?
        echo "weather_e2e: process $pid ended early (status $status)" >&2
        exit 1
    fi
done

cat "$work/records"
