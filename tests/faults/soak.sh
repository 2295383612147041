#!/bin/bash
# Grab mode for a long run beside the monitor and a live PulseAudio null sink:
# a record every cycle, no gap above 1.5 s, and resident and anonymous memory
# growing by at most 256 KiB after the first minute. With --memcheck instead:
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

# As root, a /dev/shm of our own, clear of any other monitor.
if [ "$(id -u)" -eq 0 ] && [ -z "${PCREPORT_SOAK_NS:-}" ]; then
    PCREPORT_SOAK_NS=1 exec unshare -m bash "$0" "$@"
fi
[ -n "${PCREPORT_SOAK_NS:-}" ] && { mount -t tmpfs -o mode=1777 tmpfs /dev/shm || exit 1; }

work=$(mktemp -d /tmp/pcreport-soak.XXXXXX)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "soak: $*" >&2
    for f in pulse.err monitor.err grab.err; do
        [ -s "$work/$f" ] && tail -20 "$work/$f" | sed "s/^/  $f: /" >&2
    done
    exit 1
}
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

mkdir -p "$work/bin" "$work/pulse"
cp "$bin_dir/pcreport" "$bin_dir/Core Temp.exe" "$work/bin/"
export PULSE_SERVER=unix:$work/pulse/native HOME=$work/pulse XDG_RUNTIME_DIR=$work/pulse
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit --use-pid-file=no \
    --disable-shm=yes -L "module-native-protocol-unix auth-anonymous=1 socket=$work/pulse/native" \
    -L "module-null-sink sink_name=soak" 2>"$work/pulse.err" &
pids+=($!)
wait_for 15 pactl info >/dev/null 2>&1 || fail "PulseAudio did not come up"
pactl set-default-sink soak && pactl set-sink-volume soak 40% || fail "cannot set the null sink"

"$work/bin/Core Temp.exe" --temperature 45 2>"$work/monitor.err" &
pids+=($!)
wait_for 10 test -e /dev/shm/CoreTempMappingObject || fail "the monitor did not publish"

command=("$work/bin/pcreport" grab)
if [ "$mode" = --memcheck ]; then
    command=(valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite
        --errors-for-leak-kinds=definite --log-file="$work/valgrind.log" "${command[@]}")
fi
log=$work/records
"$reader" 0 999999999 0 $((seconds * 1000)) "${command[@]}" >"$log" 2>"$work/grab.err" ||
    fail "the reader failed"
grep -q '^# exit 15$' "$log" || fail "pcreport ended before its time: $(grep '^# exit' "$log")"
count=$(grep -vc '^#' "$log")

if [ "$mode" = --memcheck ]; then
    [ "$count" -ge 20 ] || fail "only $count records under memcheck"
    grep -q 'ERROR SUMMARY: 0 errors' "$work/valgrind.log" &&
        grep -q 'definitely lost: 0 bytes' "$work/valgrind.log" ||
        { sed -n '/ERROR SUMMARY\|definitely lost\|Invalid\|uninitialised/p' "$work/valgrind.log" >&2
          fail "memcheck found errors (log above)"; }
    echo "memcheck: $count records in 60 s, no error, no definite leak"
    exit 0
fi

# A record every cycle: a cycle is a second plus the time it takes.
awk -v seconds="$seconds" '
    $1 == "#" && $2 == "mem" { if ($3 >= 60000) { if (!base) { rss = $4; anon = $5; base = 1 }
                                   if ($4 - rss > grow) grow = $4 - rss
                                   if ($5 - anon > grow) grow = $5 - anon } next }
    $1 == "#" { next }
    { n++; if (n == 1) first = $1; else if ($1 - last > gap) gap = $1 - last; last = $1 }
    END {
        expected = int((seconds * 1000 - first) / 1010)
        printf "soak: %d records in %d s (at least %d expected), longest gap %d ms, memory growth %d KiB\n", n, seconds, expected, gap, grow
        exit !(n >= expected && gap <= 1500 && grow <= 256 && base)
    }' "$log" || fail "records missed a cycle, a gap exceeded 1.5 s, or memory grew"
