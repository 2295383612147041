# Sourced by the long dependency builds, whose compile lines go to a log of
# their own: says how far a build is, about once a minute, on standard error.

# progress_start NAME DIR: until progress_stop or the script's exit, prints
# "NAME: N of about M objects, T s" once a minute, N counting the object
# files made under DIR since the call and M the objects DIR's Makefiles list
# (once configure has written them).
progress_start() {
    local name=$1 dir=$2 started
    started=$(date +%s)
    progress_marker=$(mktemp)
    (
        # sleep gets no stdio of ours: it may outlive this loop by a minute.
        while sleep "${PCREPORT_PROGRESS_SECONDS:-60}" </dev/null >/dev/null 2>&1; do
            made=$(find "$dir" \( -name '*.o' -o -name '*.obj' \) -newer "$progress_marker" 2>/dev/null | wc -l)
            total=$(progress_objects "$dir")
            [ "$total" -gt 0 ] && made="$made of about $total"
            echo "$name: $made objects, $(($(date +%s) - started)) s" >&2
        done
    ) &
    progress_pid=$!
    trap progress_stop EXIT
}

progress_stop() {
    [ -n "${progress_pid:-}" ] || return 0
    kill "$progress_pid" 2>/dev/null || true
    wait "$progress_pid" 2>/dev/null || true
    rm -f "$progress_marker"
    progress_pid=""
}

# progress_objects DIR: how many objects the Makefiles under DIR build: the
# OBJECTS lists of qmake's (release ones only) and the object rules of CMake's.
progress_objects() {
    {
        find "$1" -name build.make -exec grep -hoE '^[^ :#]+\.(o|obj):' {} + 2>/dev/null
        find "$1" \( -name Makefile -o -name Makefile.Release \) -exec awk '
            FNR == 1 { listing = 0 }
            /^OBJECTS[ \t]*=/ { listing = 1; sub(/^OBJECTS[ \t]*=/, "") }
            listing { for (i = 1; i <= NF; i++) if ($i ~ /\.(o|obj)$/) print FILENAME ":" $i
                      if (!/\\$/) listing = 0 }' {} + 2>/dev/null
    } | sort -u | wc -l
}
