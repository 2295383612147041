#!/bin/bash
# Faults injected into the built `pcreport grab` from outside, each case
# bounded in time: the monitor killed and restarted, the sound server killed,
# restarted and stopped, the weather service misbehaving, the reader
# stalling, hostile objects at the segment's name, and bad command lines.
#
# Runs as root and moves itself into a private mount and network namespace,
# so that it may put a tmpfs on /dev/shm and a fake weather service on port
# 80 of loopback:
#   bash faults_e2e.sh BIN_DIR RECORD_READER FAKE_SERVICE [CASE...]
# Without CASE every case runs. Prints one line per case; exit 1 if any failed.
set -u

if [ "$(id -u)" -ne 0 ]; then
    echo "faults_e2e: needs root in a private namespace (unshare -mn); skipped" >&2
    exit 77
fi
if [ -z "${PCREPORT_FAULTS_NS:-}" ]; then
    PCREPORT_FAULTS_NS=1 exec unshare -mn bash "$0" "$@"
fi
bin_dir=$1
reader=$2
fake_service=$3
shift 3
cases=("$@")
[ ${#cases[@]} -gt 0 ] || cases=(monitor_killed sound_server weather_hang weather_trickle
    weather_drop weather_junk weather_huge reader_stall pipe_full hostile_shm command_line)

work=$(mktemp -d /tmp/pcreport-faults.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill -CONT "$pid" 2>/dev/null
        kill -KILL "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

mount -t tmpfs -o mode=1777 tmpfs /dev/shm || exit 1
ip link set lo up || exit 1
printf '127.0.0.1 localhost ip-api.com api.openweathermap.org\n' >"$work/hosts"
mount --bind "$work/hosts" /etc/hosts || exit 1
mkdir -p "$work/bin" "$work/alone" "$work/dummy"
cp "$bin_dir/pcreport" "$bin_dir/Core Temp.exe" "$work/bin/"
cp "$bin_dir/pcreport" "$work/alone/"
# Answers the probe as a running Core Temp and publishes nothing.
cp /bin/sleep "$work/dummy/Core Temp.exe"
segment=/dev/shm/CoreTempMappingObject

# One whole record: 13 integer fields in the reader's key order.
record_re='^\{"CpuLoad":-?[0-9]+,"CpuTemperature":-?[0-9]+,"ServerWeather":-?[0-9]+,'
record_re+='"ServerWeatherID":[0-9]+,"SystemVolume":-?[0-9]+,"day":[0-9]+,"hour":[0-9]+,'
record_re+='"memoryusge":[0-9]+,"minute":[0-9]+,"month":[0-9]+,"second":[0-9]+,'
record_re+='"weekDay":[0-9]+,"year":[0-9]+\}$'

fail() {
    echo "  $*" >&2
    return 1
}

. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

start_monitor() { # [MONITOR ARGS...]
    "$work/bin/Core Temp.exe" --temperature 45 "$@" 2>>"$work/monitor.err" &
    monitor=$!
    pids+=($monitor)
    wait_for 10 test -f "$segment"
}

# start_grab DIR PIPE_BYTES STALL_AT_MS STALL_MS RUN_MS: pcreport grab from
# DIR under the record reader, its log in $log.
start_grab() {
    log=$work/log.$RANDOM
    "$reader" "$2" "$3" "$4" "$5" "$1/pcreport" grab >"$log" 2>>"$work/grab.err" &
    grab=$!
    pids+=($grab)
    grab_start=$(date +%s%3N)
}
now_ms() { echo $(($(date +%s%3N) - grab_start)); }
records() { grep -v '^#' "$log" | cut -d' ' -f2-; }
count() { records | wc -l; }
has_records() { [ "$(count)" -ge "$1" ]; }
# Records that arrived from FROM_MS on (and before TO_MS).
arrivals() { awk -v from="$1" -v to="${2:-1e18}" '$1 !~ /^#/ && $1 >= from && $1 < to {print $1}' "$log"; }
finish_grab() {
    wait "$grab"
    grep -q '^# exit 15$' "$log" || fail "pcreport ended before its time: $(grep '^# exit' "$log")"
}
# Every line is a whole record, none left half-written.
check_whole() {
    local bad
    bad=$(records | grep -Evc "$record_re")
    [ "$bad" -eq 0 ] || fail "$bad lines are not whole records: $(records | grep -Ev "$record_re" | head -1)"
}
# No gap above MS milliseconds between records arriving from FROM_MS to TO_MS.
check_gaps() { # MS FROM_MS TO_MS
    local worst
    worst=$(arrivals "$2" "$3" | awk 'NR > 1 && $1 - last > worst {worst = $1 - last} {last = $1} END {print worst + 0}')
    [ "$worst" -le "$1" ] || fail "a gap of $worst ms between records ($2 to $3 ms)"
}
# Records' own stamps step by one second (two when the cycle drifts past a
# second): none lost, none repeated, none out of order.
check_stamps() {
    records | sed -E 's/.*"day":([0-9]+),"hour":([0-9]+),.*"minute":([0-9]+),.*"second":([0-9]+),.*/\1 \2 \3 \4/' |
        awk 'NR > 1 { t = (($1 * 24 + $2) * 60 + $3) * 60 + $4; if (t - last < 1 || t - last > 2) { print "stamp step " t - last " at record " NR; bad = 1 } }
             { last = (($1 * 24 + $2) * 60 + $3) * 60 + $4 } END { exit bad }' >&2 ||
        fail "record stamps do not step by a second"
}
field() { records | sed -E "s/.*\"$1\":(-?[0-9]+).*/\\1/"; }

case_monitor_killed() {
    start_monitor || return 1
    start_grab "$work/bin" 0 999999 0 30000
    wait_for 15 has_records 3 || fail "no records" || return 1
    kill -KILL "$monitor"
    local killed_at
    killed_at=$(now_ms)
    sleep 5
    [ -z "$(arrivals $((killed_at + 2000)))" ] || fail "records went on after the monitor was killed"
    start_monitor || fail "the new monitor did not publish" || return 1
    local resumed=$(($(count) + 3))
    wait_for 10 has_records $resumed || fail "records did not resume after the monitor came back"
    finish_grab && check_whole && [ "$(field CpuTemperature | sort -u)" = 45 ] ||
        fail "a record without the published temperature"
}

pulse() { # ARGS...: pactl against the private server
    PULSE_SERVER=unix:$work/pulse/native HOME=$work/pulse pactl "$@" >/dev/null 2>&1
}
start_pulse() {
    mkdir -p "$work/pulse"
    HOME=$work/pulse XDG_RUNTIME_DIR=$work/pulse pulseaudio -n --daemonize=no --exit-idle-time=-1 \
        --disallow-exit --use-pid-file=no --disable-shm=yes \
        -L "module-native-protocol-unix auth-anonymous=1 socket=$work/pulse/native" \
        -L "module-null-sink sink_name=faults" 2>>"$work/pulse.err" &
    pulse_pid=$!
    disown "$pulse_pid" 2>/dev/null
    pids+=($pulse_pid)
    wait_for 15 pulse info && pulse set-default-sink faults && pulse set-sink-volume faults 50%
}
volume_since() { awk -v from="$1" '$1 !~ /^#/ && $1 >= from' "$log" | sed -E 's/.*"SystemVolume":(-?[0-9]+).*/\1/' | sort -u | tr '\n' ' '; }

case_sound_server() {
    start_pulse || fail "PulseAudio did not come up" || return 1
    start_monitor || return 1
    export PULSE_SERVER=unix:$work/pulse/native
    start_grab "$work/bin" 0 999999 0 36000
    wait_for 15 has_records 3 || fail "no records" || return 1
    local t0 t1 t2 t3
    t0=$(now_ms)
    kill -KILL "$pulse_pid"
    sleep 6
    t1=$(now_ms)
    start_pulse || fail "PulseAudio did not come back" || return 1
    sleep 6
    t2=$(now_ms)
    kill -STOP "$pulse_pid"
    sleep 8
    t3=$(now_ms)
    kill -CONT "$pulse_pid"
    finish_grab && check_whole || return 1
    local status=0
    [ "$(volume_since $((t0 + 2000)) | cut -d' ' -f1)" = -1 ] || fail "no -1 while the server was down" || status=1
    [ "$(awk -v a=$((t0 + 2000)) -v b="$t1" '$1 !~ /^#/ && $1 >= a && $1 < b' "$log" |
        grep -c '"SystemVolume":-1,')" -ge 3 ] || fail "records stopped while the server was down" || status=1
    awk -v a=$((t2 - 2000)) -v b="$t2" '$1 !~ /^#/ && $1 >= a && $1 < b' "$log" | grep -q '"SystemVolume":50,' ||
        fail "the volume did not come back with the server: $(volume_since $((t1 + 1000)))" || status=1
    [ "$(awk -v a=$((t2 + 2000)) -v b="$t3" '$1 !~ /^#/ && $1 >= a && $1 < b' "$log" |
        grep -c '"SystemVolume":-1,')" -ge 4 ] ||
        fail "not a record a second with -1 while the server was stopped" || status=1
    check_gaps 1500 1000 "$t2" || status=1
    # A stopped server costs the volume probe its whole 500 ms budget on the
    # main thread, once: that record arrives late (its stamp is its own).
    check_gaps 1600 "$t2" "$t3" || status=1
    return $status
}

weather_case() { # FAULT
    "$fake_service" 80 '{"status":"success","city":"Berlin"}' "fault:$1" "$work/requests.log" \
        >"$work/service.out" 2>>"$work/service.err" &
    pids+=($!)
    local service=$!
    wait_for 10 grep -q ready "$work/service.out" || fail "the fake service did not start" || return 1
    start_monitor || return 1
    start_grab "$work/bin" 0 999999 0 14000
    wait_for 15 has_records 1 || fail "no records" || return 1
    finish_grab && check_whole && check_gaps 1500 0 14000 || return 1
    grep -q weather "$work/requests.log" || fail "the weather was never asked for"
    [ "$(field ServerWeather | sort -u)" = 25 ] && [ "$(field ServerWeatherID | sort -u)" = 60 ] ||
        fail "the weather changed: $(field ServerWeather | sort -u | tr '\n' ' ')"
    kill "$service"
}
case_weather_hang() { weather_case hang; }
case_weather_trickle() { weather_case trickle; }
case_weather_drop() { weather_case drop; }
case_weather_junk() { weather_case junk; }
case_weather_huge() { weather_case huge; }

case_reader_stall() {
    start_monitor || return 1
    start_grab "$work/bin" 0 4000 10000 22000
    wait_for 30 has_records 1 || fail "no records" || return 1
    finish_grab && check_whole && check_stamps || return 1
    [ "$(count)" -ge 16 ] || fail "only $(count) records in 22 s"
}

case_pipe_full() {
    # A pipe of one page fills in some twenty records; the stall lasts 45 s.
    start_monitor || return 1
    start_grab "$work/bin" 4096 3000 45000 52000
    wait_for 30 has_records 1 || fail "no records" || return 1
    finish_grab && check_whole || return 1
    local growth
    growth=$(awk '$1 == "#" && $2 == "mem" && $3 >= 15000 && $3 < 48000 {
                   if (!seen) { rss = $4; anon = $5; seen = 1 }
                   if ($4 - rss > g) g = $4 - rss; if ($5 - anon > g) g = $5 - anon }
                 END { print g + 0 }' "$log")
    [ "$growth" -le 256 ] || fail "memory grew by $growth KiB while the pipe was full"
    # What was queued carries the time of its own sample: stamps never repeat
    # or run backwards, whatever was dropped in between.
    records | sed -E 's/.*"hour":([0-9]+),.*"minute":([0-9]+),.*"second":([0-9]+),.*/\1 \2 \3/' |
        awk '{ t = ($1 * 60 + $2) * 60 + $3 } NR > 1 && t <= last { bad = 1 } { last = t } END { exit bad }' ||
        fail "two records share a stamp, or run backwards"
    [ -n "$(arrivals 49000)" ] || fail "no records after the reader read on"
}

case_hostile_shm() {
    "$work/dummy/Core Temp.exe" 1000 &
    pids+=($!)
    local dummy=$! kind status=0 seen=0
    start_grab "$work/alone" 0 999999 0 80000
    for kind in fifo directory "symlink to huge file" "symlink to device" "0 bytes" "1 MiB"; do
        case $kind in
        fifo) mkfifo "$segment" ;;
        directory) mkdir "$segment" ;;
        "symlink to huge file") truncate -s 4G "$work/huge" && ln -s "$work/huge" "$segment" ;;
        "symlink to device") ln -s /dev/zero "$segment" ;;
        "0 bytes") : >"$segment" ;;
        "1 MiB") head -c 1048576 /dev/urandom >"$segment" && flock -x "$segment" sleep 4 & ;;
        esac
        sleep 4
        [ "$(count)" -eq "$seen" ] || { fail "$kind: a record from it: $(records | tail -1)"; status=1; }
        rm -rf "$segment"
        start_monitor || { fail "$kind: no monitor"; status=1; }
        wait_for 10 has_records $((seen + 1)) || { fail "$kind: records did not resume after it"; status=1; }
        kill "$monitor"
        wait "$monitor"
        sleep 1.5
        seen=$(count)
    done
    kill "$grab" "$dummy"
    wait "$grab"
    check_whole || status=1
    # Another user's segment, mode 0600: that user's monitor publishes, and a
    # pcreport of a third user cannot read it.
    chmod 755 "$work/bin"
    setpriv --reuid=4321 --regid=4321 --clear-groups "$work/bin/Core Temp.exe" --temperature 45 \
        2>>"$work/monitor.err" &
    pids+=($!)
    monitor=$!
    wait_for 10 test -f "$segment" && chmod 600 "$segment" || { fail "no segment of another user"; return 1; }
    log=$work/log.other
    setpriv --reuid=1234 --regid=1234 --clear-groups "$reader" 0 999999 0 6000 "$work/bin/pcreport" grab \
        >"$log" 2>>"$work/grab.err"
    grep -q '^# exit 15$' "$log" || { fail "other user's segment: pcreport ended: $(tail -1 "$log")"; status=1; }
    [ "$(count)" -eq 0 ] || { fail "other user's segment: a record from it"; status=1; }
    kill "$monitor"
    return $status
}

check_answer() { # LABEL COMMAND...: the same output and status as a clean `check`
    local status
    "${@:2}" >"$work/answer" 2>/dev/null
    status=$?
    [ "$status" -eq "$clean_status" ] && cmp -s "$work/answer" "$work/clean" ||
        fail "$1: status $status, output $(od -c "$work/answer" | head -2)"
}

case_command_line() {
    "$work/bin/pcreport" check >"$work/clean" 2>/dev/null
    clean_status=$?
    [ "$clean_status" -eq 1 ] || fail "a clean check says no Core Temp beside it" || return 1
    local status=0 many
    check_answer "invalid UTF-8 before" "$work/bin/pcreport" $'\xff\xfecheck' || status=1
    check_answer "invalid UTF-8 after" "$work/bin/pcreport" $'check\xc3' || status=1
    check_answer "invalid UTF-8 around" "$work/bin/pcreport" $'\xc3check\xe2\x82' || status=1
    check_answer "overlong encoding" "$work/bin/pcreport" $'\xc0\xafcheck' grab || status=1
    check_answer "empty argv[0]" bash -c "exec -a '' '$work/bin/pcreport' check" || status=1
    mapfile -t many < <(seq 1 100000)
    check_answer "100000 arguments" "$work/bin/pcreport" "${many[@]}" check || status=1
    return $status
}

overall=0
for name in "${cases[@]}"; do
    started=$(date +%s)
    if (pids=(); trap 'for p in "${pids[@]}"; do kill -CONT $p 2>/dev/null; kill -KILL $p 2>/dev/null; done; wait 2>/dev/null' EXIT
        "case_$name"); then
        echo "PASS $name ($(($(date +%s) - started)) s)"
    else
        echo "FAIL $name ($(($(date +%s) - started)) s)"
        overall=1
        for f in monitor.err grab.err pulse.err service.err; do
            [ -s "$work/$f" ] && tail -5 "$work/$f" | sed "s/^/  $f: /" >&2
        done
    fi
    rm -rf "$segment" "$work"/*.err "$work/requests.log" "$work/huge"
done
exit $overall
