#!/usr/bin/env bash
# What pcreport costs the machine it reports on. Rerun with:
#   bash scripts/bench.sh [seconds of grab mode, default 60] [check runs, default 200]
# Prints a Markdown table; docs/BENCHMARKS.md keeps the figures of earlier runs.
#
# - grab: pcreport grab beside the monitor (at a fixed temperature, so no
#   sensor is needed) for the given time; CPU time from /proc/PID/stat, peak
#   and final resident memory from /proc/PID/status, records counted. The
#   weather lookup fails at once on a machine without the services, which is
#   the cheap case; its thread is idle between the half-hourly refreshes.
# - check: wall time of `pcreport check`, the probe of /proc included.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
seconds=${1:-60}
runs=${2:-200}
BUILD_DIR=$build "$top/scripts/build.sh" >/dev/null

work=$(mktemp -d)
monitor_pid=""
grab_pid=""
cleanup() {
  [ -n "$grab_pid" ] && kill "$grab_pid" 2>/dev/null || true
  [ -n "$monitor_pid" ] && kill "$monitor_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

if pgrep -xi "Core Temp.exe" >/dev/null; then
  echo "a Core Temp.exe already runs; stop it first" >&2
  exit 1
fi
cp "$build/pcreport" "$build/Core Temp.exe" "$work/"
"$work/Core Temp.exe" --temperature 40 2>/dev/null &
monitor_pid=$!
for _ in $(seq 50); do [ -e /dev/shm/CoreTempMappingObject ] && break; sleep 0.1; done

ticks=$(getconf CLK_TCK)
cpu_ms() { awk -v t="$ticks" '{ s = $0; sub(/^.*\) /, "", s); split(s, f, " "); print (f[12] + f[13]) * 1000 / t }' "/proc/$1/stat"; }
status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }

"$work/pcreport" grab >"$work/records" 2>/dev/null &
grab_pid=$!
sleep 3 # start-up (probe, first lookup) is not what we measure
start_cpu=$(cpu_ms "$grab_pid")
start_lines=$(wc -l <"$work/records")
sleep "$seconds"
end_cpu=$(cpu_ms "$grab_pid")
end_lines=$(wc -l <"$work/records")
rss=$(status_kb "$grab_pid" VmRSS)
hwm=$(status_kb "$grab_pid" VmHWM)
threads=$(status_kb "$grab_pid" Threads)
monitor_cpu=$(cpu_ms "$monitor_pid")
kill "$grab_pid"; grab_pid=""

records=$((end_lines - start_lines))
cpu=$(awk -v a="$start_cpu" -v b="$end_cpu" 'BEGIN { print b - a }')

# Check mode: nothing runs Core Temp's name but our monitor, so the probe finds it.
check_start=$(date +%s%N)
for _ in $(seq "$runs"); do "$work/pcreport" check >/dev/null || true; done
check_end=$(date +%s%N)
check_ms=$(awk -v a="$check_start" -v b="$check_end" -v n="$runs" 'BEGIN { printf "%.2f", (b - a) / 1e6 / n }')

echo "| measure | value |"
echo "|---|---|"
echo "| grab: records in ${seconds} s | $records |"
echo "| grab: CPU time in ${seconds} s | ${cpu} ms ($(awk -v c="$cpu" -v s="$seconds" 'BEGIN { printf "%.3f", c / s / 10 }') % of one core) |"
echo "| grab: CPU time per record | $(awk -v c="$cpu" -v r="$records" 'BEGIN { printf "%.2f", r ? c / r : 0 }') ms |"
echo "| grab: resident memory now / peak | ${rss} KiB / ${hwm} KiB |"
echo "| grab: threads | $threads |"
echo "| monitor: CPU time since start | ${monitor_cpu} ms |"
echo "| check: wall time per run (mean of $runs) | ${check_ms} ms |"
