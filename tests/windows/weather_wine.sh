#!/bin/bash
# Runs pcreport.exe grab under wine against a fake weather service, inside
# the private mount and network namespace that test_windows.sh starts it in
# with `unshare -mn`: only loopback exists, and /etc/hosts sends both service
# hosts there. The records go to DIR/records; the run ends once the weather
# was asked for and three more records followed, and there are at least
# RECORDS in all.
#
# Wine makes a program's sockets in its wineserver, so the wineserver must run
# in this namespace too: no other wine process of the prefix may run when this
# starts, and the Core Temp stand-in is started here, from BIN.
#
# With FAKE_SERVICE_DROP_MS in the environment the services reset every
# connection for that long (tests/fake_weather_service.cpp): the weather is
# then asked for with success only by the program's first retry, some 30 s in.
#
# weather_wine.sh WINE WINESERVER BIN DIR FAKE_SERVICE CITY_ANSWER WEATHER_ANSWER RECORDS
set -eu
# shellcheck source=../lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
wine=$1 wineserver=$2 bin=$3 dir=$4 fake_service=$5 city=$6 weather=$7 records=$8
fail() {
    echo "weather_wine: $*" >&2
    exit 1
}

pids=()
trap '"$wineserver" -k 2>>"$dir/wineserver.err"; stop_started TERM' EXIT
service_hosts "$dir" || fail "no loopback with the service hosts"
service_start "$fake_service" "$dir" "$city" "$weather" || fail "the fake service did not start"
(cd "$bin" && exec "$wine" coretemp_standin.exe 12 48) >"$dir/standin.out" 2>"$dir/standin.err" &
pids+=($!)
wait_for 20 grep -qs ready "$dir/standin.out" || fail "the Core Temp stand-in did not start"

(cd "$dir" && exec "$wine" pcreport.exe grab) >"$dir/records" 2>"$dir/err" &
pids+=($!)
# The weather reaches the records a moment after its answer.
wait_for $((${FAKE_SERVICE_DROP_MS:-0} > 0 ? 75 : 30)) grep -qs '^/data/2.5/weather$' "$dir/requests.log" ||
    fail "the weather was never asked for"
asked=$(count_lines "$dir/records")
wait_lines "$dir/records" $((asked + 3 > records ? asked + 3 : records)) 30 ||
    fail "records stopped after the weather was asked for"
