# The harness the test, benchmark and dependency scripts share; sourced, not
# run. Safe under `set -euo pipefail`.
#
# Every process a function here starts in the background is appended to the
# caller's array `pids`; `stop_started` in the caller's exit trap ends them.

# --- saying -------------------------------------------------------------------

# say MESSAGE: MESSAGE on standard error, after `say_as` (default: the
# script's name).
say() { echo "${say_as:-${0##*/}}: $*" >&2; }
# fail MESSAGE: says MESSAGE and the end of each log in `failure_logs`, and
# ends the script (or the subshell it runs in) with status 1.
failure_logs=()
fail() {
    say "$*"
    show_logs "${failure_logs[@]}"
    exit 1
}
# show_logs FILE...: the last lines of each FILE that is not empty, on
# standard error, each headed by the file's name.
show_logs() {
    local file
    for file in "$@"; do
        [ ! -s "$file" ] || tail -n 20 "$file" | sed "s|^|  ${file##*/}: |" >&2
    done
}

# --- waiting -------------------------------------------------------------------

# wait_for SECONDS COMMAND...: polls COMMAND every 50 ms until it succeeds;
# fails when SECONDS pass first.
wait_for() {
    local tries=$(($1 * 20))
    shift
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.05
    done
}

# count_lines FILE: the lines FILE holds so far, 0 while it does not exist.
count_lines() {
    if [ -f "$1" ]; then tr -cd '\n' <"$1" | wc -c; else echo 0; fi
}
lines_at_least() { [ "$(count_lines "$1")" -ge "$2" ]; } # FILE N
# wait_lines FILE N SECONDS: until FILE holds N lines.
wait_lines() { wait_for "$3" lines_at_least "$1" "$2"; }

# stop_started [SIGNAL]: ends every process in `pids` (KILL unless told;
# stopped ones are let go on first) and waits for them.
stop_started() {
    local pid
    for pid in "${pids[@]}"; do
        kill -CONT "$pid" 2>/dev/null || true
        kill -"${1:-KILL}" "$pid" 2>/dev/null || true
    done
    # One by one: the shell's "Killed" notice goes where wait's stderr goes.
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
# kill_now PID: SIGKILL, and reaped before going on.
kill_now() {
    kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

# logged LOG COMMAND...: runs COMMAND with everything it prints appended to LOG;
# when it fails, shows the end of LOG on standard error, so that the failure
# tells its own cause.
logged() {
    local log=$1 status=0
    shift
    printf '$ %s\n' "$*" >>"$log"
    "$@" >>"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        echo "failed with status $status: $* (the last lines of $log follow)" >&2
        tail -n 40 "$log" | sed 's/^/  | /' >&2
    fi
    return "$status"
}

# suite BUILD [CTEST ARGS...]: the ctest tests of BUILD, or those its labels
# pick (e.g. -LE faults), with a failing one's output shown.
suite() { ctest --test-dir "$1" --output-on-failure -j"$(nproc)" --timeout 300 "${@:2}"; }

# --- the record -----------------------------------------------------------------

# The keys of a record in the order the reading program expects them, and
# what each value may look like.
record_keys=(CpuLoad CpuTemperature ServerWeather ServerWeatherID SystemVolume day hour
    memoryusge minute month second weekDay year)
record_value() {
    case $1 in
    CpuLoad | CpuTemperature | ServerWeather | SystemVolume) echo '-?[0-9]+' ;;
    *) echo '[0-9]+' ;;
    esac
}

# record_pattern [KEY=REGEX...]: an extended regex for one whole record line,
# 13 integer fields in order, with the values of the KEYs given pinned, e.g.
# `record_pattern CpuTemperature=45 SystemVolume=-1`.
record_pattern() {
    local re='^\{' sep='' key value pin
    for key in "${record_keys[@]}"; do
        value=$(record_value "$key")
        for pin in "$@"; do
            [ "${pin%%=*}" = "$key" ] && value=${pin#*=}
        done
        re+="$sep\"$key\":$value"
        sep=,
    done
    echo "$re\\}\$"
}

# not_whole_records [FILE...]: every line (a CR before its LF dropped) that is
# not one whole record; prints nothing when all are.
not_whole_records() {
    cat "$@" | tr -d '\r' | grep -Ev "$(record_pattern)" || true
}

# record_field KEY: the value of KEY in each record read from standard input.
record_field() { sed -nE "s/.*\"$1\":(-?[0-9]+).*/\\1/p"; }
# record_seconds: the time stamp of each record read from standard input, in
# seconds from its day, hour, minute and second (what two records' stamps
# differ by, unless a month ends between them).
record_seconds() {
    sed -nE 's/.*"day":([0-9]+),"hour":([0-9]+),.*"minute":([0-9]+),.*"second":([0-9]+),.*/\1 \2 \3 \4/p' |
        awk '{ print (($1 * 24 + $2) * 60 + $3) * 60 + $4 }'
}

# The log of tests/faults/record_reader, which reads pcreport's standard
# output as the reading program does: "MS RECORD" for each line, MS its
# arrival; "# mem MS RSS ANON" once a second; "# exit STATUS" last.
# reader_records LOG: the records, without their arrival times.
reader_records() { grep -v '^#' "$1" | cut -d' ' -f2-; }
# lasted LOG: whether pcreport ran until the reader ended it (SIGTERM).
lasted() { grep -q '^# exit 15$' "$1"; }

# memory_growth LOG FROM_MS [TO_MS]: how many KiB resident or anonymous
# memory grew at most over its first sample from FROM_MS on (before TO_MS);
# fails when no sample lies there.
memory_growth() {
    awk -v from="$2" -v to="${3:-1e18}" '$1 == "#" && $2 == "mem" && $3 >= from && $3 < to {
            if (!seen) { rss = $4; anon = $5; seen = 1 }
            if ($4 - rss > g) g = $4 - rss
            if ($5 - anon > g) g = $5 - anon }
        END { print g + 0; exit !seen }' "$1"
}

# --- private namespaces -------------------------------------------------------

# The namespaces every test of the process table or the Core Temp segment runs
# in: a pid namespace with its own /proc (no process of the machine's can be
# seen, and every process of the test ends with it: its first process is its
# init) and a mount namespace with an empty /dev/shm (no segment of the
# machine's can be seen or removed). `--kill-child`: a test killed for its
# time-out takes its namespace with it.
own_namespaces=(unshare --mount --pid --fork --mount-proc --kill-child)

# own_namespaces_available: root, and a kernel or container that allows them.
own_namespaces_available() { [ "$(id -u)" -eq 0 ] && "${own_namespaces[@]}" true 2>/dev/null; }

# isolate EXTRA_UNSHARE_FLAGS SCRIPT [ARGS...]: runs SCRIPT again in namespaces
# of its own (above, plus e.g. "-n" for a network of loopback alone) and never
# returns. In that second run it returns at once, /dev/shm already private.
# Where the namespaces cannot be made, says so and fails: the caller then runs
# beside the machine's processes and segment, as it is.
isolate() {
    local flags=$1 script=$2
    shift 2
    if isolated "$script"; then
        private_shm || { echo "${script##*/}: no private /dev/shm" >&2; exit 1; }
        return 0
    fi
    if ! own_namespaces_available; then
        echo "${script##*/}: not root, or no private namespaces here: runs beside this" \
            "machine's processes and /dev/shm, where another Core Temp or monitor can change" \
            "its result" >&2
        return 1
    fi
    # shellcheck disable=SC2086  # the flags are words
    PCREPORT_ISOLATED=$script exec "${own_namespaces[@]}" $flags bash "$script" "$@"
}
# isolated SCRIPT: whether this is SCRIPT's run inside its namespaces.
isolated() { [ "${PCREPORT_ISOLATED:-}" = "$1" ]; }

# private_shm: an empty /dev/shm of our own (in a private mount namespace),
# where no other monitor's segment can be seen.
private_shm() { mount -t tmpfs -o mode=1777 tmpfs /dev/shm; }

# service_hosts DIR: in a private mount and network namespace, loopback up
# and both web service hosts sent to it (DIR/hosts bound over /etc/hosts).
service_hosts() {
    ip link set lo up || return 1
    printf '127.0.0.1 localhost ip-api.com api.openweathermap.org\n' >"$1/hosts"
    mount --bind "$1/hosts" /etc/hosts
}

# service_start FAKE_SERVICE DIR CITY_ANSWER WEATHER_ANSWER: the fake weather
# service on port 80, the path of each request appended to DIR/requests.log,
# its output in DIR/service.out and .err; sets service_pid once it is ready.
service_start() {
    local dir=$2
    : >"$dir/requests.log"
    "$1" 80 "$3" "$4" "$dir/requests.log" >"$dir/service.out" 2>>"$dir/service.err" &
    service_pid=$!
    pids+=("$service_pid")
    wait_for 10 grep -qs ready "$dir/service.out"
}

# --- the sound server ----------------------------------------------------------

# pulse_start DIR SINK [PULSEAUDIO ARGS...]: a private PulseAudio server with
# one null sink, SINK, made the default; its socket is DIR/native (keep DIR
# short: a socket's path has at most 107 bytes), its log DIR/server.log. Sets
# pulse_pid and pulse_socket once the server answers. Run again with the same
# DIR, it starts a new server on the same socket.
pulse_start() {
    local dir=$1 sink=$2
    shift 2
    mkdir -p "$dir"
    chmod 700 "$dir"
    pulse_socket=$dir/native
    # Started without its default script (-n) it loads just these modules; as
    # root it only warns that it is meant for a user session.
    HOME=$dir XDG_RUNTIME_DIR=$dir pulseaudio -n --daemonize=no --exit-idle-time=-1 \
        --disallow-exit --use-pid-file=no "$@" \
        -L "module-native-protocol-unix auth-anonymous=1 socket=$pulse_socket" \
        -L "module-null-sink sink_name=$sink" >>"$dir/server.log" 2>&1 &
    pulse_pid=$!
    pids+=("$pulse_pid")
    wait_for 15 pulse_answers_or_died && kill -0 "$pulse_pid" 2>/dev/null &&
        pulse_ctl set-default-sink "$sink"
}
pulse_answers_or_died() { pulse_ctl info || ! kill -0 "$pulse_pid" 2>/dev/null; }
# pulse_ctl ARGS...: pactl against the private server, quietly.
pulse_ctl() {
    PULSE_SERVER=unix:$pulse_socket HOME=${pulse_socket%/*} pactl "$@" >>"${pulse_socket%/*}/pactl.log" 2>&1
}

# --- the monitor -------------------------------------------------------------------

coretemp_segment=/dev/shm/CoreTempMappingObject

# monitor_start LOG MONITOR [ARGS...]: the monitor (our "Core Temp.exe"),
# its standard error appended to LOG; sets monitor_pid once it publishes.
monitor_start() {
    local log=$1
    shift
    "$@" </dev/null >/dev/null 2>>"$log" &
    monitor_pid=$!
    pids+=("$monitor_pid")
    wait_for 10 monitor_published_or_died && kill -0 "$monitor_pid" 2>/dev/null
}
monitor_published_or_died() { [ -f "$coretemp_segment" ] || ! kill -0 "$monitor_pid" 2>/dev/null; }
# monitor_stop: ends it as a user would; it removes its segment on the way.
monitor_stop() {
    kill -TERM "$monitor_pid" 2>/dev/null || true
    wait "$monitor_pid" 2>/dev/null || true
}
