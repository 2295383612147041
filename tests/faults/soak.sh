#!/bin/bash
# Grab mode for a long run beside the monitor and a live PulseAudio null sink:
# a record every cycle, no gap above 1.5 s, and resident and anonymous memory
# growing by at most 256 KiB after the first minute (after the first half, in
# a soak shorter than two minutes). With --memcheck instead:
# 60 s under valgrind's memcheck, with no definite leak and no invalid access.
#
#   bash soak.sh BIN_DIR RECORD_READER [--memcheck]
# PCREPORT_SOAK_SECONDS sets the soak's length (600 unless set).
set -u

bin_dir=$1
reader=$2
mode=${3:-soak}
seconds=${PCREPORT_SOAK_SECONDS:-600}
[ "$mode" = --memcheck ] && seconds=60

. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
# As root, a /dev/shm of our own, clear of any other monitor, and no network
# but loopback: the weather lookup fails at once and nothing leaves the machine.
isolate -n "$0" "$@" || true

work=$(mktemp -d /tmp/pcreport-soak.XXXXXX)
pids=()
trap 'stop_started; rm -rf "$work"' EXIT
failure_logs=("$work/pulse/server.log" "$work/monitor.err" "$work/grab.err")

mkdir -p "$work/bin"
cp "$bin_dir/pcreport" "$bin_dir/Core Temp.exe" "$work/bin/"
pulse_start "$work/pulse" soak --disable-shm=yes || fail "PulseAudio did not come up"
pulse_ctl set-sink-volume soak 40% || fail "cannot set the null sink"
export PULSE_SERVER=unix:$pulse_socket HOME=$work/pulse XDG_RUNTIME_DIR=$work/pulse
monitor_start "$work/monitor.err" "$work/bin/Core Temp.exe" --temperature 45 ||
    fail "the monitor did not publish"

command=("$work/bin/pcreport" grab)
if [ "$mode" = --memcheck ]; then
    command=(valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite
        --errors-for-leak-kinds=definite --log-file="$work/valgrind.log" "${command[@]}")
fi
log=$work/records
"$reader" 0 999999999 0 $((seconds * 1000)) "${command[@]}" >"$log" 2>"$work/grab.err" ||
    fail "the reader failed"
lasted "$log" || fail "pcreport ended before its time: $(grep '^# exit' "$log")"
count=$(grep -vc '^#' "$log")
bad=$(reader_records "$log" | not_whole_records)
[ -z "$bad" ] || fail "not a whole record: $(head -1 <<<"$bad")"

if [ "$mode" = --memcheck ]; then
    [ "$count" -ge 20 ] || fail "only $count records under memcheck"
    grep -q 'ERROR SUMMARY: 0 errors' "$work/valgrind.log" &&
        grep -q 'definitely lost: 0 bytes' "$work/valgrind.log" ||
        { sed -n '/ERROR SUMMARY\|definitely lost\|Invalid\|uninitialised/p' "$work/valgrind.log" >&2
          fail "memcheck found errors (log above)"; }
    echo "memcheck: $count records in 60 s, no error, no definite leak"
    exit 0
fi

# Memory settles in the first minute (the first half of a shorter soak).
settled=$((seconds >= 120 ? 60000 : seconds * 500))
growth=$(memory_growth "$log" $settled) || fail "no memory sample after $settled ms"
# A record every cycle: a cycle is a second plus the time it takes.
grep -v '^#' "$log" | awk -v seconds="$seconds" -v growth="$growth" '
    { n++; if (n == 1) first = $1; else if ($1 - last > gap) gap = $1 - last; last = $1 }
    END {
        expected = int((seconds * 1000 - first) / 1010)
        printf "soak: %d records in %d s (at least %d expected), longest gap %d ms, memory growth %d KiB\n", n, seconds, expected, gap, growth
        exit !(n >= expected && gap <= 1500 && growth <= 256)
    }' || fail "records missed a cycle, a gap exceeded 1.5 s, or memory grew"
