#!/usr/bin/env bash
# The ctest fixtures of the wine tests (tests/windows/CMakeLists.txt gives the
# environment: WINEPREFIX, WINELOADER, WINESERVER, HOME):
#
#   wine_fixtures.sh LOG DIR FIXTURE
#
# wine_prefix        the private, headless wine prefix, made once and reused,
#                    wine's audio on PulseAudio; its wine commands log to LOG
# wine_prefix_end    ends every wine process of the prefix
# sound_server       a private PulseAudio server with a null sink, its socket
#                    DIR/native
# sound_server_end   ends it
set -u
# shellcheck source=../lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"
log=$1 dir=$2 wine=$WINELOADER wineserver=$WINESERVER

case $3 in
wine_prefix)
    # Every wine command here writes to LOG, with wine's own error channel
    # on: a failure shows the end of LOG.
    step() { logged "$log" env WINEDEBUG=err+all "$@"; }
    mkdir -p "$HOME"
    # Made only once wineboot has finished, its wineserver has exited (so the
    # registry is on disk) and the three registry files exist.
    if [ ! -f "$WINEPREFIX/.made" ]; then
        rm -rf "$WINEPREFIX"
        echo "creating the wine prefix (log: $log)"
        step timeout 180 "$wine" wineboot -i && step "$wineserver" -w || exit 1
        for file in system.reg user.reg userdef.reg; do
            [ -s "$WINEPREFIX/$file" ] || { echo "the new wine prefix has no $file"; exit 1; }
        done
        touch "$WINEPREFIX/.made"
    fi
    # Only winepulse: with no sound server wine would otherwise try ALSA, and
    # on a machine with a sound card find one there. Tried twice, the second
    # time once every wine process of the first has ended.
    pulse() { step timeout 60 "$wine" reg add 'HKCU\Software\Wine\Drivers' /v Audio /t REG_SZ /d pulse /f; }
    pulse || { echo "retrying the registry change"; step "$wineserver" -w; pulse; }
    ;;
wine_prefix_end)
    "$wineserver" -k
    "$wineserver" -w
    ;;
sound_server)
    rm -rf "$dir"
    if ! pulse_start "$dir" testsink; then
        tail -n 20 "$dir/server.log"
        exit 1
    fi
    echo "$pulse_pid" >"$dir/pid"
    ;;
sound_server_end)
    kill "$(cat "$dir/pid")"
    rm -rf "$dir"
    ;;
esac
