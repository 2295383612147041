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
# Cached (cached_build.sh) in a folder named after the source version and a
# hash of the configure line and the compiler. The source tree is shared with
# other builds and is never written to: Qt is configured and built out of
# source, and used from its build folder, where a build that stopped goes on.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
version=${1:-5.15.8+dfsg-11+deb12u3}
jobs=${PCREPORT_DEPS_JOBS:-$(nproc)}
# shellcheck source=cached_build.sh
. "$here/cached_build.sh"

for tool in clang clang++ make perl; do
    command -v "$tool" >/dev/null || fail "$tool is missing"
done

# Only what the program and its tests link, nothing that would pull in a
# library Debian did not build for TSan (glib, ICU, OpenSSL, D-Bus, zstd).
options=(-opensource -confirm-license -platform linux-clang -release -sanitize thread
    -nomake tests -nomake examples -no-gui -no-widgets -no-dbus -no-icu -no-glib
    -no-opengl -no-openssl -no-zstd -no-libproxy -no-feature-gssapi -no-journald -no-slog2
    -qt-pcre -qt-zlib -no-feature-sql -no-feature-xml -no-feature-concurrent)
# The modules built; moc, Core and bootstrap come with them, rcc does not.
modules=(sub-rcc-make_first sub-network-make_first sub-testlib-make_first)

key=$(cache_key 12 "${options[@]}" "${modules[@]}" "$(clang++ --version | head -n 1)")
build=$deps_cache/qt-tsan-$version-$key
cached "$build" .built

src=$("$here/fetch_source.sh" qtbase-opensource-src "$version")
build_begin "$build"
cd "$build"
# Configured with the build directory as its prefix, Qt runs from where it was
# built: no install step, and nothing written anywhere else.
build_step "$src/configure" -prefix "$build" "${options[@]}"
build_step make sub-src-qmake_all
build_step make -C src -j"$jobs" "${modules[@]}"
# Qt5Network's CMake files insist on the generic bearer plugin.
build_step make -C src/plugins/bearer -j"$jobs"
build_done
