#!/bin/bash
# Runs pcreport.exe grab under wine against a fake weather service, inside
# the private mount and network namespace that test_windows.sh starts it in
# with `unshare -mn`: only loopback exists, and /etc/hosts sends both service
# hosts there. The records go to standard output.
#
# Wine makes a program's sockets in its wineserver, so the wineserver must run
# in this namespace too: no other wine process of the prefix may run when this
# starts, and the Core Temp stand-in is started here, from BIN.
#
# weather_wine.sh WINE WINESERVER BIN DIR FAKE_SERVICE CITY_ANSWER WEATHER_ANSWER SECONDS
set -eu
wine=$1 wineserver=$2 bin=$3 dir=$4 fake_service=$5 city=$6 weather=$7 seconds=$8

ip link set lo up
printf '127.0.0.1 localhost ip-api.com api.openweathermap.org\n' >"$dir/hosts"
mount --bind "$dir/hosts" /etc/hosts

: >"$dir/requests.log"
"$fake_service" 80 "$city" "$weather" "$dir/requests.log" >"$dir/service.out" 2>"$dir/service.err" &
service=$!
trap '"$wineserver" -k 2>/dev/null; kill "$service" 2>/dev/null; wait 2>/dev/null' EXIT
(cd "$bin" && exec "$wine" coretemp_standin.exe 12 48) >"$dir/standin.out" 2>/dev/null &
for _ in $(seq 1 400); do
    grep -q ready "$dir/service.out" 2>/dev/null && grep -q ready "$dir/standin.out" 2>/dev/null &&
        break
    sleep 0.05
done
cd "$dir" && timeout "$seconds" "$wine" pcreport.exe grab 2>"$dir/err" || true
