#!/usr/bin/env bash
# pcreport.exe end to end under wine, one case a run; ctest runs each case in
# the wine fixtures' environment (tests/windows/CMakeLists.txt):
#
#   e2e_wine.sh BUILD CASE [ARGS...]
#
# Each run gets a folder of its own holding pcreport.exe, outside the build:
# wine hands the program its full path as argv[0], and a checkout under a
# folder such as /check would turn every grab into check. The Core Temp
# stand-in, as tasklist.exe, answers from a folder of its own put first on the
# search path (WINEPATH: what wine adds before PATH), ahead of wine's own. The first
# failure ends the run with status 1, after what the program wrote.
set -u
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# shellcheck source=../lib.sh
. "$top/tests/lib.sh"
build=$1 case=$2
bin=$build/tests/windows wine=${WINELOADER:-}
shift 2

# The weather cases run in a mount and network namespace of their own, where
# only loopback exists and /etc/hosts sends both service hosts there. Wine
# makes a program's sockets in its wineserver, so the prefix's wineserver
# must be started in there too: none may run when the namespace is entered.
if [ "$case" = weather ] && [ -z "${PCREPORT_E2E_OWN_NETWORK:-}" ]; then
    [ -x "${PCREPORT_FAKE_WEATHER_SERVICE:-}" ] && [ "$(id -u)" -eq 0 ] && unshare -mn true ||
        { echo "needs root, unshare -mn and PCREPORT_FAKE_WEATHER_SERVICE"; exit 77; }
    "$WINESERVER" -k
    "$WINESERVER" -w
    PCREPORT_E2E_OWN_NETWORK=1 exec unshare -mn bash "$0" "$build" "$case" "$@"
fi

run=$(mktemp -d "${TMPDIR:-/tmp}/pcreport-wine.XXXXXX") || exit 1
dir=$run/program
pids=()
# Wine's processes first: a stand-in left running would hold up the wait.
trap '"${WINESERVER:-true}" -k 2>>"$run/wineserver.err"; stop_started TERM; rm -rf "$run"' EXIT
case $run in *check* | *grab*) fail "no folder under ${TMPDIR:-/tmp} free of the words check and grab" ;; esac
mkdir -p "$run/search" "$dir/cwd"
cp "$bin/coretemp_standin.exe" "$run/search/tasklist.exe"
cp "$build/pcreport.exe" "$dir/"
export WINEPATH="Z:${run//\//\\}\\search"

# A failure says which case failed, with the end of what was written.
say_as="FAIL $case"
failure_logs=("$dir"/{out,records,err,reader} "$dir/cwd/started.txt" "$run/requests.log")
tasklist_says() { printf '%s\n' "$1" >"$run/search/tasklist_mode.txt"; }
start_standin() { # LOAD TEMPERATURE: Core Temp's stand-in, publishing until it is killed
    (cd "$bin" && exec "$wine" coretemp_standin.exe "$@") >"$run/standin.out" 2>>"$run/standin.err" &
    standin_pid=$!
    pids+=("$standin_pid")
    wait_for 20 grep -qs ready "$run/standin.out" || fail "the Core Temp stand-in did not start"
}
start_grab() {
    (cd "$dir/cwd" && exec "$wine" ../pcreport.exe grab) >"$dir/records" 2>"$dir/err" &
    grab_pid=$!
    pids+=("$grab_pid")
}
stop_grab() {
    kill "$grab_pid"
    wait "$grab_pid" 2>/dev/null
}
records_are() { # KEY=VALUE...: at least one record, and every one the whole line with these values
    [ -s "$dir/records" ] && ! tr -d '\r' <"$dir/records" | grep -qvE "$(record_pattern "$@")"
}
once_a_second() { # N: the first N records stamped N-1 seconds apart, give or take a second
    local stamps span
    mapfile -t stamps < <(tr -d '\r' <"$dir/records" | head -n "$1" | record_seconds)
    [ "${#stamps[@]}" -eq "$1" ] || fail "fewer than $1 records"
    span=$((stamps[$1 - 1] - stamps[0]))
    # (and one more for a cycle that ran long)
    [ "$span" -ge $(($1 - 2)) ] && [ "$span" -le $(($1 + 1)) ] ||
        fail "$1 records over $span s, not once a second"
}

case $case in
check) # NAME TASKLIST_SAYS CORE_TEMP_BESIDE ANSWER STATUS [planted]
    # The exact bytes (CR CR LF from text mode) and the exit status. "planted"
    # puts a tasklist.exe claiming Core Temp runs where Windows looks before
    # the search path: the working directory and the program's folder; and
    # "." on the search path, which leads to the working directory too.
    tasklist_says "$2"
    [ "$3" = yes ] && : >"$dir/Core Temp.exe"
    path=$WINEPATH
    if [ "${6:-}" = planted ]; then
        for place in "$dir" "$dir/cwd"; do
            cp "$bin/coretemp_standin.exe" "$place/tasklist.exe"
            echo running >"$place/tasklist_mode.txt"
        done
        path=".;$WINEPATH"
    fi
    (cd "$dir/cwd" && WINEPATH=$path timeout 90 "$wine" ../pcreport.exe check) >"$dir/out" 2>"$dir/err"
    status=$?
    [ ! -e "$dir/tasklist_args.txt" ] && [ ! -e "$dir/cwd/tasklist_args.txt" ] ||
        fail "the planted tasklist.exe ran"
    printf '{"checkHardwareSucceed": %s }\r\r\n' "$4" | cmp -s - "$dir/out" || fail "not the bytes of $4"
    [ "$status" -eq "$5" ] || fail "exit status $status, not $5"
    printf '/FI\nIMAGENAME eq Core Temp.exe\n/NH\n' | cmp -s - <(tr -d '\r' <"$run/search/tasklist_args.txt") ||
        fail "tasklist did not get /FI, the filter and /NH as three arguments"
    ;;
version) # VERSION: the project's version, a line end through text mode, status 0
    (cd "$dir/cwd" && timeout 60 "$wine" ../pcreport.exe --version) >"$dir/out" 2>"$dir/err"
    status=$?
    printf 'pcreport %s\r\n' "$1" | cmp -s - "$dir/out" || fail "--version does not print \"pcreport $1\" CR LF"
    [ "$status" -eq 0 ] || fail "--version: exit status $status"
    ;;
reader_gone) # PROGRAM LEAVE
    # A grab with nothing to print (tasklist names no Core Temp, none beside
    # the program) still learns, without writing, that its reader has gone.
    # The reader (pipe_reader.cpp, a pipe as QProcess makes it) holds the pipe
    # 4 s (wine starts the program in about one), then closes its end or
    # ends, and times the rest. The program looks once a second, so 2 s
    # leaves a second for wine to end it.
    # pcreport_query_refused.exe is refused the question about its pipe's
    # state, as Windows refuses it on QProcess's pipe where wine answers.
    tasklist_says other
    [ "$1" = pcreport.exe ] || cp "$bin/$1" "$dir/"
    (cd "$dir" && timeout 60 "$wine" "$bin/pipe_reader.exe" "$2" 4000 "$1" grab) 2>"$dir/err" |
        tr -d '\r' >"$dir/reader"
    [ "$(head -n 2 "$dir/reader" | tr '\n' ' ')" = "running_at_close=1 unread_bytes=0 " ] ||
        fail "not running and silent until its reader left"
    ended=$(sed -n 's/^ended_after_ms=\([0-9]*\)$/\1/p' "$dir/reader")
    [ "${ended:-99999}" -le 2000 ] && grep -qx exit_code=1 "$dir/reader" ||
        fail "did not end with status 1 within 2 s of its reader"
    ;;
grab) # with the sound server up, nothing on the network; its reader
    # leaves after 4 records, which ends it
    tasklist_says running
    start_standin 0 47
    (cd "$dir/cwd" && timeout 40 "$wine" ../pcreport.exe grab 2>"$dir/err" | head -n 4 >"$dir/records"
        exit "${PIPESTATUS[0]}")
    [ $? -ne 124 ] || fail "still running 40 s on, its reader gone after 4 records"
    once_a_second 4
    [ "$(grep -c $'\r$' "$dir/records")" -eq "$(count_lines "$dir/records")" ] ||
        fail "records not ended in CR LF"
    records_are CpuLoad=0 CpuTemperature=47 ServerWeather=25 ServerWeatherID=60 SystemVolume=100 \
        'year=20[0-9]{2}' || fail "not load 0 and 47 degrees, weather 25 and 60, volume 100"
    ;;
follows) # Core Temp's block as it comes and goes, with no sound server
    # (volume -1). Started at login before Core Temp, grab is silent while
    # there is none and while it publishes a temperature that is not finite;
    # a record follows within 5 s of a good block; the records stop while
    # Core Temp is gone and resume, with the new values, when it is back.
    tasklist_says other
    start_grab
    wait_for 30 test -e "$run/search/tasklist_args.txt" && sleep 2
    [ ! -s "$dir/records" ] || fail "records while there is no Core Temp"
    start_standin 10 nan
    sleep 3
    [ ! -s "$dir/records" ] || fail "records of a temperature that is not a number"
    kill "$standin_pid"
    start_standin 6 52
    wait_lines "$dir/records" 1 5 || fail "no record within 5 s of Core Temp's first good block"
    kill "$standin_pid"
    # A second for the record sampled just before the block went, then two
    # sampling cycles of silence.
    sleep 1
    stopped=$(count_lines "$dir/records")
    sleep 2
    [ "$(count_lines "$dir/records")" -eq "$stopped" ] || fail "records while Core Temp is gone"
    start_standin 5 50
    wait_lines "$dir/records" $((stopped + 2)) 15 || fail "no records once Core Temp is back"
    stop_grab
    head -n "$stopped" "$dir/records" >"$dir/first"
    sed -i "1,${stopped}d" "$dir/records"
    records_are CpuLoad=5 CpuTemperature=50 SystemVolume=-1 ||
        fail "the records after it came back are not its"
    mv "$dir/first" "$dir/records"
    records_are CpuLoad=6 CpuTemperature=52 SystemVolume=-1 ||
        fail "not the first good Core Temp's values"
    ;;
launcher) # "Core Temp.exe" beside the program and not running is started
    # hidden, with no arguments, in the working directory; records then flow.
    tasklist_says silent
    cp "$bin/coretemp_standin.exe" "$dir/Core Temp.exe"
    export PCREPORT_STANDIN_RECORD=started.txt
    start_grab
    wait_lines "$dir/records" 2 30
    stop_grab
    grep -q 'CoreTemp started hidden\.' "$dir/err" || fail "no \"CoreTemp started hidden.\" on standard error"
    tr -d '\r' <"$dir/cwd/started.txt" | grep -qzE 'argc=1.cwd=[^=]*\\cwd.flags=[0-9]*[13579].show=0' ||
        fail "not started with no arguments, in the working directory, hidden"
    records_are CpuLoad=7 CpuTemperature=55 || fail "the records are not the started stand-in's"
    ;;
weather) # thunderstorm | hanging | late
    # The records carry what the fake service answers, and keep 25 and 60, a
    # record every second, when it hangs. "late": no network for the first
    # 15 s; the retry after a failure, not the 30-minute refresh, looks the
    # city up again and brings the weather.
    answer='{"weather":[{"id":202,"main":"Thunderstorm"}],"main":{"temp":21.6},"cod":200}'
    want=(ServerWeather=21 ServerWeatherID=3)
    [ "$1" = hanging ] && answer=fault:hang want=(ServerWeather=25 ServerWeatherID=60)
    [ "$1" = late ] && export FAKE_SERVICE_DROP_MS=15000
    service_hosts "$run" || fail "no loopback with the service hosts"
    service_start "$PCREPORT_FAKE_WEATHER_SERVICE" "$run" '{"status":"success","city":"Berlin"}' \
        "$answer" || fail "the fake service did not start"
    tasklist_says running
    start_standin 12 48
    start_grab
    # The weather reaches the records a moment after its answer.
    wait_for "$([ "$1" = late ] && echo 75 || echo 30)" grep -qs '^/data/2.5/weather$' "$run/requests.log" ||
        fail "the weather was never asked for"
    asked=$(count_lines "$dir/records")
    wait_lines "$dir/records" $((asked + 3 > 7 ? asked + 3 : 7)) 30 ||
        fail "records stopped after the weather was asked for"
    stop_grab
    once_a_second 7
    tail -n 2 "$dir/records" >"$dir/last" && mv "$dir/last" "$dir/records"
    records_are "${want[@]}" || fail "the last records do not carry ${want[*]}"
    [ "$1" != late ] || [[ "$(tr '\n' ' ' <"$run/requests.log")" =~ ^(dropped\ ){1,4}/json\ /data/2.5/weather\ $ ]] ||
        fail "not a try or two while there was no network, then the lookup and the weather"
    ;;
release) # VERSION
    # The zip holds the program as built and the texts, CR LF for Notepad.
    zip=$build/pcreport-$1-windows-x86_64.zip
    [ "$(unzip -Z1 "$zip")" = "$(printf '%s\n' pcreport.exe README.txt LICENSE.txt THIRD_PARTY_NOTICES.txt)" ] ||
        fail "the zip does not hold pcreport.exe, README.txt, LICENSE.txt, THIRD_PARTY_NOTICES.txt"
    unzip -p "$zip" pcreport.exe | cmp -s - "$build/pcreport.exe" || fail "the zip's pcreport.exe is not the one built"
    unzip -p "$zip" README.txt LICENSE.txt THIRD_PARTY_NOTICES.txt >"$dir/records"
    [ "$(grep -c $'\r$' "$dir/records")" -eq "$(count_lines "$dir/records")" ] ||
        fail "the zip's texts do not end their lines in CR LF"
    # The same commit builds the same bytes elsewhere: a copy of the source
    # in another folder, built into a folder of another name (pcreport.exe
    # alone, with the same dependency cache), gives the same pcreport.exe and zip.
    mkdir -p "$run/source"
    (cd "$top" && git ls-files -z --cached --others --exclude-standard |
        tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -C "$run/source" -xf - ||
        fail "copying the source"
    SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$top" log -1 --format=%ct)} PCREPORT_BUILD_TARGET=pcreport \
        "$run/source/scripts/build_windows.sh" "$run/other-build" || fail "the second build"
    cmp "$build/pcreport.exe" "$run/other-build/pcreport.exe" || fail "pcreport.exe built in another folder differs"
    cmp "$zip" "$run/other-build/${zip##*/}" || fail "so does the zip"
    ;;
*)
    fail "no such case"
    ;;
esac
