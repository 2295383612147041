# Sourced by the dependency scripts: the cache they share and the one way a
# build is kept there. A build lies in a folder named after a key, a hash of
# all that makes it what it is (source version, flags, compiler), so that a
# later call with the same inputs returns at once and any change builds
# afresh; it counts as done once its mark file is there. Its commands' output
# goes to a log in the folder it is made in (copied beside what it installs),
# its progress once a minute to standard error.

# shellcheck source=../../tests/lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/../../tests/lib.sh"

deps_cache=${PCREPORT_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pcreport-deps}

# cache_key DIGITS LINE...: the first DIGITS hex digits of the SHA-256 of the
# LINEs, each ended by a newline.
cache_key() {
    local digits=$1
    shift
    printf '%s\n' "$@" | sha256sum | cut -c1-"$digits"
}

# cached PREFIX MARK: the build's place and the file that marks it done;
# where that is there, prints PREFIX and ends the script.
cached() {
    build_prefix=$1
    build_mark=$2
    if [ -f "$1/$2" ]; then
        echo "$1"
        exit 0
    fi
}

# build_begin WORK: the build is made in WORK, its log WORK/build.log. One
# that installs elsewhere starts afresh, its PREFIX too; one used where it is
# made goes on where a build that stopped half-way left it.
build_begin() {
    build_work=$1
    build_log=$1/build.log
    [ "$1" = "$build_prefix" ] || rm -rf "$1" "$build_prefix"
    mkdir -p "$1"
    say "building in $1 (log: $build_log)"
    progress_start "$1"
}

# build_step COMMAND...: COMMAND with its output added to the log; when it
# fails, the end of the log is shown and the script ends.
build_step() { logged "$build_log" "$@" || fail "failed: $* (log: $build_log)"; }

# build_done: marks the build done and prints where it is; one made elsewhere
# leaves its log beside what it installed, and its folder goes.
build_done() {
    progress_stop
    say "built in $SECONDS s"
    if [ "$build_work" != "$build_prefix" ]; then
        cp "$build_log" "$build_prefix/build.log"
        rm -rf "$build_work"
    fi
    touch "$build_prefix/$build_mark"
    echo "$build_prefix"
}

# progress_start DIR: until progress_stop or the script's exit, says once a
# minute how many of the objects that DIR's Makefiles list are made. qmake
# writes a folder's Makefile only when the build gets there: while one that
# another names is missing, the objects listed so far are not the total.
progress_start() {
    (
        # sleep gets no stdio of ours: it may outlive this loop by a minute.
        while sleep "${PCREPORT_PROGRESS_SECONDS:-60}" </dev/null >/dev/null 2>&1; do
            progress_count "$1" | {
                read -r made listed missing
                if [ "$missing" -eq 0 ] && [ "$listed" -gt 0 ]; then
                    say "$made of $listed objects, $SECONDS s"
                else
                    say "$made of the $listed objects listed so far, $SECONDS s"
                fi
            }
        done
    ) &
    progress_pid=$!
    trap progress_stop EXIT
}

progress_stop() {
    [ -n "${progress_pid:-}" ] || return 0
    kill "$progress_pid" 2>/dev/null || true
    wait "$progress_pid" 2>/dev/null || true
    progress_pid=""
}

# progress_count DIR: "MADE LISTED MISSING": how many objects the Makefiles
# under DIR list (qmake's OBJECTS, release ones only; CMake's object rules),
# configure's own tests left out; how many of those exist; and how many
# Makefiles that qmake's name are not written yet.
progress_count() {
    find "$1" \( -name config.tests -o -name CMakeScratch -o -name CMakeTmp \) -prune -o \
        \( -name Makefile -o -name 'Makefile*.Release' -o -name build.make \) -print0 2>/dev/null |
        xargs -0r awk '
            FNR == 1 { dir = FILENAME; sub(/\/[^\/]*$/, "", dir); listing = 0 }
            FILENAME ~ /build\.make$/ && /^[^ :#]+\.(o|obj):/ {
                sub(/:.*/, ""); print "o " dir "/" substr($0, index($0, ".dir/") + 5); next }
            /^OBJECTS[ \t]*=/ { listing = 1; sub(/^OBJECTS[ \t]*=/, "") }
            listing { for (i = 1; i <= NF; i++) if ($i ~ /\.(o|obj)$/) print "o " dir "/" $i
                      if (!/\\$/) listing = 0 }
            match($0, /cd [^ ]+\/ && \( test -e [^ ]+ /) {
                split(substr($0, RSTART, RLENGTH), w, " "); print "m " dir "/" w[2] w[7] }' |
        sort -u | {
            made=0 listed=0 missing=0
            while read -r kind path; do
                if [ "$kind" = m ]; then
                    [ -e "$path" ] || missing=$((missing + 1))
                else
                    listed=$((listed + 1))
                    [ ! -e "$path" ] || made=$((made + 1))
                fi
            done
            echo "$made $listed $missing"
        }
}
