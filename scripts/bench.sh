#!/usr/bin/env bash
# What pcreport costs the machine it reports on, side by side with vmstat.
#   bash scripts/bench.sh [SECONDS]   full run, each window SECONDS long (default 40)
#   bash scripts/bench.sh --smoke     a few seconds, for CI: checks that every
#                                     figure can be taken, never judges them
# It measures and reports; what the program must do is pinned by the tests.
# PCREPORT_QT=5 (the default) or 6 picks the Qt, as for scripts/build.sh; the
# build is BUILD_DIR, else build/ (Qt 5) or build/qt6 (Qt 6).
# Every figure is a ratio to a reference measured in the same run: CPU to
# `vmstat -n 1` (one line a second to a pipe, like grab mode), memory to
# vmstat's, start-up to vmstat's first line, check mode to a minimal Qt Core
# program, instructions to vmstat's under callgrind. The references and
# floors are built with the program (bench/).
#
# Set-up: our monitor at a fixed 40 degrees, a private PulseAudio server with a
# null sink at 30 %, and no network (the weather lookup fails at once). As root
# the run gets its own PID, mount and network namespaces and a private
# /dev/shm, so it sees no other "Core Temp.exe" and no other segment.
# CPU comes from /proc/PID/task/TID/schedstat (nanoseconds on CPU). On a shared
# machine it is noisy; callgrind's instruction counts are the repeatable figure.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=../tests/lib.sh
. "$top/tests/lib.sh"
if [ "${PCREPORT_QT:-5}" = 6 ]; then
  build=${BUILD_DIR:-$top/build/qt6}
else
  build=${BUILD_DIR:-$top/build}
fi

smoke=0
seconds=40
check_runs=100
if [ "${1:-}" = "--smoke" ]; then
  smoke=1 seconds=3 check_runs=5
elif [ -n "${1:-}" ]; then
  seconds=$1
fi

# Built before the run leaves the network.
if ! isolated "$0" && { [ ! -x "$build/bench/bench_tool" ] || [ -z "${PCREPORT_BENCH_NO_BUILD:-}" ]; }; then
  mkdir -p "$build"
  logged "$build/bench-setup.log" "$top/scripts/setup.sh" "$top/scripts/packages/test.txt" || exit 1
  logged "$build/bench-setup.log" env BUILD_DIR="$build" "$top/scripts/build.sh" pcreport \
    coretemp_monitor pcreport_bench || exit 1
fi
if isolate -n "$0" "$@"; then
  ip link set lo up || exit 1
fi
for tool in vmstat pulseaudio pactl valgrind callgrind_control; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/packages/test.txt)" >&2; exit 1; }
done
if pgrep -x "Core Temp.exe" >/dev/null; then
  echo "bench: a Core Temp.exe already runs here; stop it or run as root" >&2
  exit 1
fi

work=$(mktemp -d)
pids=()
cleanup() {
  stop_started TERM
  [ -n "${PCREPORT_BENCH_KEEP:-}" ] && echo "bench: kept $work" >&2 || rm -rf "$work"
}
trap cleanup EXIT
say_as=bench
failure_logs=("$work/pulse/server.log" "$work/stderr.log")

# --- the programs measured beside pcreport (bench/) --------------------------
benchtool=$build/bench/bench_tool
qtfloor=$build/bench/bench_qt_floor
libfloor=$build/bench/bench_lib_floor
monfloor=$build/bench/bench_monitor_floor
recfloor=$build/bench/bench_record_floor
# PCREPORT_BENCH_VOLUME=OTHER_BUILD/bench/bench_volume takes the volume read
# from another build, to compare two versions on the same machine.
volume=${PCREPORT_BENCH_VOLUME:-$build/bench/bench_volume}
# What the monitor reads each second, which its floor reads too: keep in step
# with monitor/. cpu0's clock where cpufreq gives it; without cpufreq the
# monitor reads /proc/cpuinfo once a minute, which the floor leaves out.
monitor_reads=(/proc/stat)
cpufreq=/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq
[ -r "$cpufreq" ] && monitor_reads+=("$cpufreq")

# --- measuring ------------------------------------------------------------------
# CPU nanoseconds of one task, or of all live tasks of a process.
task_ns() { awk '{ print $1 }' "/proc/$1/task/$2/schedstat" 2>/dev/null || echo 0; }
proc_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ s += $1 } END { printf "%.0f\n", s }'; }
# Live threads of a process by name (comm, 15 characters), TID per line.
tids_named() { grep -lx "$2" /proc/"$1"/task/*/comm 2>/dev/null | awk -F/ '{ print $5 }' || true; }
status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
lines() { wc -l <"$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
fmt() { awk -v a="$1" -v d="${2:-2}" 'BEGIN { printf "%.*f", d, a }'; }

# Starts "$@" writing to a pipe drained into $out; sets $started.
start_piped() {
  local out=$1; shift
  local fifo
  fifo=$(mktemp -u "$work/fifo.XXXX")
  mkfifo "$fifo"
  cat "$fifo" >"$out" &
  pids+=($!)
  "$@" >"$fifo" 2>>"$work/stderr.log" &
  started=$!
  pids+=("$started")
}

# --- the sound server and the monitor ------------------------------------
mkdir -p "$work/home/.config" "$work/run"
chmod 700 "$work/run"
export HOME=$work/home XDG_RUNTIME_DIR=$work/run XDG_CONFIG_HOME=$work/home/.config
unset DISPLAY
pulse_start "$work/pulse" benchsink && pulse_ctl set-sink-volume benchsink 30% ||
  fail "PulseAudio did not come up"
export PULSE_SERVER=unix:$pulse_socket

cp "$build/pcreport" "$build/Core Temp.exe" "$work/"
monitor_start "$work/stderr.log" "$work/Core Temp.exe" --temperature 40 ||
  fail "the monitor did not publish its block"

warmup=2
[ "$smoke" = 1 ] && warmup=1

# --- window 1: vmstat, and the sound server idle ----------------------------
# The monitor's floor runs beside it: two processes a second apart on 2 cores.
start_piped "$work/vmstat.out" vmstat -n 1
vmstat_pid=$started
"$monfloor" "${monitor_reads[@]}" &
monfloor_pid=$!
pids+=("$monfloor_pid")
sleep "$warmup"
v0=$(proc_ns "$vmstat_pid"); p0=$(proc_ns "$pulse_pid"); l0=$(lines "$work/vmstat.out")
f0=$(proc_ns "$monfloor_pid")
sleep "$seconds"
v1=$(proc_ns "$vmstat_pid"); p1=$(proc_ns "$pulse_pid"); l1=$(lines "$work/vmstat.out")
f1=$(proc_ns "$monfloor_pid")
vmstat_rss=$(status_kb "$vmstat_pid" VmRSS); vmstat_anon=$(status_kb "$vmstat_pid" RssAnon)
kill "$vmstat_pid" "$monfloor_pid"
rm -f /dev/shm/pcreport-bench-floor
vmstat_ms=$(awk -v a="$v0" -v b="$v1" -v s="$seconds" 'BEGIN { print (b - a) / 1e6 / s }')
monfloor_ms=$(awk -v a="$f0" -v b="$f1" -v s="$seconds" 'BEGIN { print (b - a) / 1e6 / s }')
pulse_idle_ms=$(awk -v a="$p0" -v b="$p1" -v s="$seconds" 'BEGIN { print (b - a) / 1e6 / s }')
[ $((l1 - l0)) -gt 0 ] || fail "vmstat wrote nothing"

# --- window 2: pcreport grab with the sound server ---------------------------
run_grab() { # $1: output file, then the command; sets the g_* figures
  start_piped "$@"
  local pid=$started
  sleep "$warmup"
  local main0 samp0 weat0 all0 mon0 pul0 rec0 anon_peak=0 anon_start a
  local sampler weather
  sampler=$(tids_named "$pid" QHardwareDataOb | head -n 1)
  weather=$(tids_named "$pid" QWeatherClient | head -n 1)
  main0=$(task_ns "$pid" "$pid"); samp0=$(task_ns "$pid" "$sampler"); weat0=$(task_ns "$pid" "$weather")
  all0=$(proc_ns "$pid"); mon0=$(proc_ns "$monitor_pid"); pul0=$(proc_ns "$pulse_pid"); rec0=$(lines "$1")
  anon_start=$(status_kb "$pid" RssAnon)
  for _ in $(seq "$seconds"); do
    sleep 1
    a=$(status_kb "$pid" RssAnon)
    [ "$a" -gt "$anon_peak" ] && anon_peak=$a
  done
  a=$(status_kb "$pid" RssAnon)
  [ "$a" -gt "$anon_peak" ] && anon_peak=$a
  g_records=$(($(lines "$1") - rec0))
  [ "$g_records" -gt 0 ] || fail "${2##*/} wrote no record"
  g_main=$(awk -v a="$main0" -v b="$(task_ns "$pid" "$pid")" -v r="$g_records" 'BEGIN { print (b - a) / 1e6 / r }')
  g_sampler=$(awk -v a="$samp0" -v b="$(task_ns "$pid" "$sampler")" -v r="$g_records" 'BEGIN { print (b - a) / 1e6 / r }')
  g_weather=$(awk -v a="$weat0" -v b="$(task_ns "$pid" "$weather")" -v r="$g_records" 'BEGIN { print (b - a) / 1e6 / r }')
  g_all=$(awk -v a="$all0" -v b="$(proc_ns "$pid")" -v r="$g_records" 'BEGIN { print (b - a) / 1e6 / r }')
  g_monitor=$(awk -v a="$mon0" -v b="$(proc_ns "$monitor_pid")" -v s="$seconds" 'BEGIN { print (b - a) / 1e6 / s }')
  # The sound server's CPU over the window beyond its idle rate, per record.
  g_pulse_extra=$(awk -v a="$pul0" -v b="$(proc_ns "$pulse_pid")" -v i="$pulse_idle_ms" -v r="$g_records" \
    -v s="$seconds" 'BEGIN { x = ((b - a) / 1e6 - i * s) / r; print x < 0 ? 0 : x }')
  g_rss=$(status_kb "$pid" VmRSS); g_hwm=$(status_kb "$pid" VmHWM)
  g_anon=$a; g_anon_peak=$anon_peak; g_anon_start=$anon_start
  g_threads=$(status_kb "$pid" Threads)
  kill "$pid"
}
run_grab "$work/grab.out" "$work/pcreport" grab
with_records=$g_records with_main=$g_main with_sampler=$g_sampler with_weather=$g_weather with_all=$g_all
monitor_ms=$g_monitor
pulse_extra=$g_pulse_extra
rss=$g_rss hwm=$g_hwm anon=$g_anon anon_peak=$g_anon_peak anon_start=$g_anon_start threads=$g_threads

# --- window 3: pcreport grab with no sound server ----------------------------
PULSE_SERVER=unix:$work/no-such-server run_grab "$work/grab-nopulse.out" "$work/pcreport" grab
alone_records=$g_records alone_all=$g_all alone_main=$g_main

# --- start-up: first record, check mode --------------------------------------
first_runs=5
[ "$smoke" = 1 ] && first_runs=2
first_us=0 vm_first_us=0 floor_first_us=0
for _ in $(seq "$first_runs"); do
  first_us=$((first_us + $("$benchtool" firstline "$work/pcreport" grab 2>>"$work/stderr.log")))
  floor_first_us=$((floor_first_us + $("$benchtool" firstline "$recfloor" 2>>"$work/stderr.log")))
  vm_first_us=$((vm_first_us + $("$benchtool" firstline vmstat -n 1)))
done
first_ms=$(awk -v u="$first_us" -v n="$first_runs" 'BEGIN { print u / n / 1000 }')
floor_first_ms=$(awk -v u="$floor_first_us" -v n="$first_runs" 'BEGIN { print u / n / 1000 }')
vm_first_ms=$(awk -v u="$vm_first_us" -v n="$first_runs" 'BEGIN { print u / n / 1000 }')
"$benchtool" repeat 2 "$work/pcreport" check >/dev/null # warm the page cache
check_ms=$("$benchtool" repeat "$check_runs" "$work/pcreport" check)
floor_ms=$("$benchtool" repeat "$check_runs" "$qtfloor")
libfloor_ms=$("$benchtool" repeat "$check_runs" "$libfloor")

# --- the volume read alone -------------------------------------------------------
# The program's own read in a loop of reads against the null sink: the sound
# server's CPU per read, and the read's own instructions (callgrind, 10 reads
# subtracted from 60, so start-up cancels out).
volume_reads=300
[ "$smoke" = 1 ] && volume_reads=20
p0=$(proc_ns "$pulse_pid")
"$volume" "$volume_reads" >/dev/null || fail "the volume loop read no sink: it measured nothing"
p1=$(proc_ns "$pulse_pid")
volume_server_us=$(awk -v a="$p0" -v b="$p1" -v n="$volume_reads" 'BEGIN { print (b - a) / 1e3 / n }')
volume_ir() { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$volume" "$1" 2>&1 >/dev/null |
  awk '/Collected/ { print $NF }'; }
ir10=$(volume_ir 10); ir60=$(volume_ir 60)
volume_ir_per_read=$(awk -v a="$ir10" -v b="$ir60" 'BEGIN { print (b - a) / 50 }')
# The floor of the CPU goals: a record's work and nothing else, one record a
# second on one thread, measured as grab mode is; once with the sound server
# (with its share), once without.
run_grab "$work/floor.out" "$recfloor"
floor_all=$g_all
floor_pulse=$g_pulse_extra
floor_total=$(awk -v a="$floor_all" -v p="$floor_pulse" -v m="$monfloor_ms" 'BEGIN { print a + p + m }')
PULSE_SERVER=unix:$work/no-such-server run_grab "$work/floor-nopulse.out" "$recfloor"
floor_alone=$g_all

# --- instructions per record (callgrind) ---------------------------------------
# Two dumps a few records apart: the second holds only what ran between them,
# start-up excluded.
cg_seconds=10
[ "$smoke" = 1 ] && cg_seconds=2
callgrind_per_line() { # $1: name, then the command; prints instructions per line
  local name=$1; shift
  local out=$work/cg-$name.out
  start_piped "$out" valgrind --tool=callgrind --callgrind-out-file="$work/cg-$name.%p" "$@"
  local pid=$started
  wait_for 30 test -s "$out" || fail "$name wrote nothing under callgrind"
  sleep 1
  callgrind_control -d "$pid" >/dev/null 2>&1 || fail "callgrind_control could not reach $name"
  local r0
  r0=$(lines "$out")
  sleep "$cg_seconds"
  callgrind_control -d "$pid" >/dev/null 2>&1 || fail "callgrind_control could not reach $name"
  local r1
  r1=$(lines "$out")
  kill "$pid"; wait "$pid" 2>/dev/null || true
  local last=$work/cg-$name.$pid.2
  [ -s "$last" ] || fail "no second callgrind dump for $name"
  awk -v r=$((r1 - r0)) '/^summary:/ { print (r > 0 ? $2 / r : 0) }' "$last"
}
ir_grab=$(callgrind_per_line grab "$work/pcreport" grab)
ir_vmstat=$(callgrind_per_line vmstat vmstat -n 1)

# --- report -------------------------------------------------------------------
total=$(awk -v a="$with_all" -v m="$monitor_ms" -v p="$pulse_extra" 'BEGIN { print a + m + p }')
verdict() { awk -v x="$1" -v g="$2" 'BEGIN { print (x <= g) ? "met" : "not met" }'; }
cat <<EOF
Window ${seconds} s after ${warmup} s of warm-up; vmstat -n 1: $(fmt "$vmstat_ms" 3) ms CPU per second (the unit of the CPU ratios), $(lines "$work/vmstat.out") lines.
Records in the window: $with_records with the sound server, $alone_records without; threads: $threads.

| figure | value | ratio | goal |
|---|---|---|---|
| all pcreport makes the machine do, per record | $(fmt "$total" 3) ms | $(ratio "$total" "$vmstat_ms") x vmstat | <= 3 ($(verdict "$(ratio "$total" "$vmstat_ms")" 3)) |
| - floor: the record floor, its sound server share and the monitor floor | $(fmt "$floor_total" 3) ms | $(ratio "$floor_total" "$vmstat_ms") x vmstat (record floor $(ratio "$floor_all" "$vmstat_ms") x, server $(ratio "$floor_pulse" "$vmstat_ms") x) | |
| pcreport, all threads, per record | $(fmt "$with_all" 3) ms | $(ratio "$with_all" "$vmstat_ms") x vmstat | |
| - main thread (record, volume probe) | $(fmt "$with_main" 3) ms | $(ratio "$with_main" "$vmstat_ms") x vmstat | |
| - sampler thread | $(fmt "$with_sampler" 3) ms | $(ratio "$with_sampler" "$vmstat_ms") x vmstat | |
| - weather thread | $(fmt "$with_weather" 3) ms | $(ratio "$with_weather" "$vmstat_ms") x vmstat | |
| sound server's extra work, per record | $(fmt "$pulse_extra" 3) ms | $(ratio "$pulse_extra" "$vmstat_ms") x vmstat | |
| monitor, per second | $(fmt "$monitor_ms" 3) ms | $(ratio "$monitor_ms" "$vmstat_ms") x vmstat | <= 0.5 ($(verdict "$(ratio "$monitor_ms" "$vmstat_ms")" 0.5)) |
| - floor: wake, read ${monitor_reads[*]}, write the block | $(fmt "$monfloor_ms" 3) ms | $(ratio "$monfloor_ms" "$vmstat_ms") x vmstat | |
| pcreport with no sound server, per record | $(fmt "$alone_all" 3) ms | $(ratio "$alone_all" "$vmstat_ms") x vmstat | <= 1.5 ($(verdict "$(ratio "$alone_all" "$vmstat_ms")" 1.5)) |
| - its main thread | $(fmt "$alone_main" 3) ms | $(ratio "$alone_main" "$vmstat_ms") x vmstat | |
| - floor: the record floor with no sound server | $(fmt "$floor_alone" 3) ms | $(ratio "$floor_alone" "$vmstat_ms") x vmstat | |
| resident memory, steady / peak | $rss / $hwm KiB | $(ratio "$rss" "$vmstat_rss") / $(ratio "$hwm" "$vmstat_rss") x vmstat's $vmstat_rss KiB | |
| anonymous memory, window start / end / peak | $anon_start / $anon / $anon_peak KiB | $(ratio "$anon_peak" "$vmstat_anon") x vmstat's $vmstat_anon KiB | <= 3072 KiB and flat ($(verdict "$anon_peak" 3072), grew $((anon - anon_start)) KiB) |
| start to first record (monitor running), mean of $first_runs | $(fmt "$first_ms") ms | $(ratio "$first_ms" "$vm_first_ms") x vmstat's first line ($(fmt "$vm_first_ms") ms) | <= 20 ms ($(verdict "$first_ms" 20)) |
| - floor: the record floor's first line | $(fmt "$floor_first_ms") ms | pcreport is $(ratio "$first_ms" "$floor_first_ms") x this; the library floor alone takes $(fmt "$libfloor_ms") ms | |
| pcreport check, wall time, mean of $check_runs | $(fmt "$check_ms") ms | $(ratio "$check_ms" "$floor_ms") x the Qt Core floor ($(fmt "$floor_ms") ms) | <= 2 ($(verdict "$(ratio "$check_ms" "$floor_ms")" 2)) |
| - floor with libpulse linked | $(fmt "$libfloor_ms") ms | $(ratio "$libfloor_ms" "$floor_ms") x the Qt Core floor; check is $(ratio "$check_ms" "$libfloor_ms") x this | |
| one volume read: the sound server's CPU, mean of $volume_reads back to back | $(fmt "$volume_server_us" 0) us | $(ratio "$(awk -v u="$volume_server_us" 'BEGIN { print u / 1000 }')" "$vmstat_ms") x vmstat's CPU per second | |
| one volume read: instructions (callgrind) | $(fmt "$volume_ir_per_read" 0) | | |
| instructions per record (callgrind, grab) | $(fmt "$ir_grab" 0) | $(ratio "$ir_grab" "$ir_vmstat") x vmstat's $(fmt "$ir_vmstat" 0) per line | |
EOF
