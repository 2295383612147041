#!/usr/bin/env bash
# Builds Qt 5 Core, Network and Test from Debian's own qtbase source package
# with ThreadSanitizer, for the ThreadSanitizer stage of the tests, and prints
# the directory to give CMake as CMAKE_PREFIX_PATH.
#
#   scripts/deps/build_qt_tsan.sh [VERSION]
#
# Debian's Qt is not instrumented, so TSan cannot see the hand-overs inside it
# (a queued event posted on one thread and run on another, QThread::wait) and
# reports every one as a race. Built with -fsanitize=thread its atomics are
# instrumented and those hand-overs are seen as what they are.
#
# The build is kept under the dependency cache, in a directory named after
# the source version and a hash of the configure line and the compiler, so a
# later call returns at once and any change of flags builds afresh. The
# source tree is shared with other builds and is never written to: Qt is
# configured and built out of source, and used from its build directory.
# Configure's and make's output goes to build.log there; the progress, once a
# minute, to standard error.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
# shellcheck source=progress.sh
. "$top/scripts/deps/progress.sh"
say() { echo "build_qt_tsan: $*" >&2; }
version=${1:-5.15.8+dfsg-11+deb12u3}
cache=${PCREPORT_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pcreport-deps}
jobs=${PCREPORT_DEPS_JOBS:-$(nproc)}

for tool in clang clang++ make perl; do
    command -v "$tool" >/dev/null || { echo "build_qt_tsan: $tool is missing" >&2; exit 1; }
done

# Only what the program and its tests link, nothing that would pull in a
# library Debian did not build for TSan (glib, ICU, OpenSSL, D-Bus, zstd).
options=(-opensource -confirm-license -platform linux-clang -release -sanitize thread
    -nomake tests -nomake examples -no-gui -no-widgets -no-dbus -no-icu -no-glib
    -no-opengl -no-openssl -no-zstd -no-libproxy -no-feature-gssapi -no-journald -no-slog2
    -qt-pcre -qt-zlib -no-feature-sql -no-feature-xml -no-feature-concurrent)
# The modules built; moc, Core and bootstrap come with them, rcc does not.
modules=(sub-rcc-make_first sub-network-make_first sub-testlib-make_first)

key=$( (printf '%s\n' "${options[@]}" "${modules[@]}"; clang++ --version | head -n 1) | sha256sum | cut -c1-12)
build=$cache/qt-tsan-$version-$key
if [ -f "$build/.built" ]; then
    echo "$build"
    exit 0
fi

src=$("$top/scripts/deps/fetch_source.sh" qtbase-opensource-src "$version")

mkdir -p "$build"
started=$(date +%s)
log=$build/build.log
say "building in $build with -j$jobs (log: $log)"
progress_start build_qt_tsan "$build"
# Configured with the build directory as its prefix, Qt runs from where it was
# built: no install step, and nothing written anywhere else.
(cd "$build" && "$src/configure" -prefix "$build" "${options[@]}") >"$log" 2>&1 ||
    { tail -n 40 "$log" >&2; say "configure failed (see $log)"; exit 1; }
{
    make -C "$build" sub-src-qmake_all &&
        make -C "$build/src" -j"$jobs" "${modules[@]}" &&
        # Qt5Network's CMake files insist on the generic bearer plugin.
        make -C "$build/src/plugins/bearer" -j"$jobs"
} >>"$log" 2>&1 || { grep -E 'error|Error' "$log" | tail -n 30 >&2; say "build failed (see $log)"; exit 1; }
progress_stop
touch "$build/.built"
say "built in $(($(date +%s) - started)) s"
echo "$build"
