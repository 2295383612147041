#!/usr/bin/env bash
# The Windows layer of pcreport, proven without Windows: cross-compiles every
# Win32 source (launcher, Core Temp reader, memory status, volume probe) with
# mingw-w64, together with the portable Qt-free files they build on, and runs
# their tests under wine in a private, headless wine prefix, with a private
# PulseAudio server behind wine's audio.
#
#   scripts/test_windows.sh [build dir]     (default: build-windows)
#
# Installs what is missing (apt-get, as root or through sudo). Ends with the
# line "N passed, N failed" and a non-zero status when anything failed or
# could not run. Safe to run again: the build and the prefix are reused.
set -uo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-windows}
mkdir -p "$build"
build=$(cd "$build" && pwd)
started=$(date +%s)

passed=0
failed=0
say() { echo "$*" >&2; }
fail_stage() {
    echo "FAIL $1"
    failed=$((failed + 1))
}
finish() {
    say "windows stage took $(($(date +%s) - started)) s"
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
    exit $?
}

# --- what this stage needs -------------------------------------------------
needed=(g++-mingw-w64-x86-64 wine64 wine cmake make pulseaudio)
missing=()
for p in "${needed[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    say "Installing: ${missing[*]}"
    if ! { $sudo apt-get update -q &&
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends \
            "${missing[@]}"; } >&2; then
        fail_stage "installing ${missing[*]}"
        finish
    fi
fi

# Debian's /usr/bin/wine is a wrapper that wants wine32 first; 64-bit programs
# need only the wine64 loader, so take that directly when it is there.
wine=""
for candidate in /usr/lib/wine/wine64 wine64 wine; do
    if command -v "$candidate" >/dev/null 2>&1 && "$candidate" --version >/dev/null 2>&1; then
        wine=$(command -v "$candidate")
        break
    fi
done
[ -n "$wine" ] || { fail_stage "no working wine loader (tried /usr/lib/wine/wine64, wine64, wine)"; finish; }
wineserver=$(command -v /usr/lib/wine/wineserver wineserver 2>/dev/null | head -n1)
export WINELOADER=$wine
say "wine: $wine ($("$wine" --version))"

# --- cross build --------------------------------------------------------------
say "cross-compiling into $build"
if ! cmake -S "$top/tests/windows" -B "$build" \
        -DCMAKE_TOOLCHAIN_FILE="$top/tests/windows/mingw-w64-x86_64.cmake" \
        -DCMAKE_BUILD_TYPE=Release >"$build/configure.log" 2>&1; then
    cat "$build/configure.log" >&2
    fail_stage "configuring the mingw-w64 build"
    finish
fi
if ! cmake --build "$build" -j2 >"$build/build.log" 2>&1; then
    grep -E 'error|Error' "$build/build.log" | head -n 40 >&2
    fail_stage "cross-compiling the Win32 sources (see $build/build.log)"
    finish
fi

# --- private, headless wine prefix ------------------------------------------
export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
# No Mono or Gecko installers: nothing here needs .NET or HTML.
export WINEDLLOVERRIDES="mscoree,mshtml="
export HOME="$build/home"
mkdir -p "$HOME"
unset DISPLAY WAYLAND_DISPLAY
# shellcheck disable=SC2317  # run by the trap
cleanup() {
    if [ -n "${pulse_pid:-}" ]; then
        kill "$pulse_pid" 2>/dev/null
        wait "$pulse_pid" 2>/dev/null
    fi
    if [ -n "${pulse_dir:-}" ]; then
        rm -rf "$pulse_dir"
    fi
    if [ -n "$wineserver" ]; then
        "$wineserver" -k 2>/dev/null
    fi
}
trap cleanup EXIT

if [ ! -f "$WINEPREFIX/system.reg" ]; then
    say "creating the wine prefix"
    if ! timeout 180 "$wine" wineboot -i >"$build/wineboot.log" 2>&1; then
        tail -n 20 "$build/wineboot.log" >&2
        fail_stage "creating the wine prefix"
        finish
    fi
    [ -n "$wineserver" ] && "$wineserver" -w
fi
# Only winepulse: with no sound server wine would otherwise try ALSA, and on a
# machine with a sound card find one there.
timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Audio /t REG_SZ /d pulse /f \
    >/dev/null 2>&1 || fail_stage "selecting wine's PulseAudio driver"

# --- private PulseAudio server with a null sink ------------------------------
# A short path of its own: a unix socket path may not exceed 107 bytes.
pulse_dir=$(mktemp -d /tmp/pcreport-pulse.XXXXXX)
mkdir -p "$pulse_dir/home" "$pulse_dir/runtime"
printf 'autospawn = no\n' >"$pulse_dir/client.conf"
export PULSE_CLIENTCONFIG="$pulse_dir/client.conf"
# As root PulseAudio only warns that it is meant for a user session; started
# without its default script (-n) it loads just the two modules given here.
HOME="$pulse_dir/home" XDG_RUNTIME_DIR="$pulse_dir/runtime" \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    -L "module-native-protocol-unix auth-anonymous=1 socket=$pulse_dir/native" \
    -L "module-null-sink sink_name=testsink" >"$build/pulseaudio.log" 2>&1 &
pulse_pid=$!
pulse_up=0
for _ in $(seq 1 100); do
    if [ -S "$pulse_dir/native" ]; then
        pulse_up=1
        break
    fi
    kill -0 "$pulse_pid" 2>/dev/null || break
    sleep 0.1
done

# --- tests ---------------------------------------------------------------------
# run_test <label> <program> [args]: runs one test program under wine from the
# build dir and counts its PASS and FAIL lines. A program that crashes, hangs
# or ends without its closing line counts as one more failure.
run_test() {
    local label=$1 program=$2
    shift 2
    local out="$build/$label.out" err="$build/$label.err" status
    (cd "$build" && timeout 120 "$wine" "$program" "$@") >"$out" 2>"$err"
    status=$?
    tr -d '\r' <"$out" | grep -E '^(PASS|FAIL|NOTE|END) '
    local p f
    p=$(tr -d '\r' <"$out" | grep -c '^PASS ')
    f=$(tr -d '\r' <"$out" | grep -c '^FAIL ')
    passed=$((passed + p))
    failed=$((failed + f))
    if [ "$status" -eq 124 ]; then
        fail_stage "$label: timed out after 120 s"
    elif ! tr -d '\r' <"$out" | grep -q '^END '; then
        fail_stage "$label: ended without its closing line (status $status)"
        tail -n 20 "$err" >&2
    elif [ "$status" -ne 0 ] && [ "$f" -eq 0 ]; then
        fail_stage "$label: exit status $status"
    fi
}

run_test memory_status tst_memory_status_win.exe
run_test coretemp_proxy tst_coretemp_proxy_win.exe
run_test coretemp_launch tst_coretemp_launch_win.exe
run_test system_volume tst_system_volume_win.exe
if [ "$pulse_up" -eq 1 ]; then
    PULSE_SERVER="unix:$pulse_dir/native" run_test system_volume_live tst_system_volume_win.exe --live
else
    tail -n 20 "$build/pulseaudio.log" >&2
    fail_stage "system_volume_live: the private PulseAudio server did not start"
fi
# A socket nobody listens on: winepulse finds no server and wine no endpoint.
PULSE_SERVER="unix:$pulse_dir/nobody" run_test system_volume_no_server tst_system_volume_win.exe --no-server

finish
