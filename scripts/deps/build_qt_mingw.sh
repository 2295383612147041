#!/usr/bin/env bash
# Cross-builds a static, release Qt 5 Core for 64-bit Windows (mingw-w64, posix
# thread model) from Debian's qtbase source package and prints its install
# prefix, which find_package(Qt5 COMPONENTS Core) takes through
# CMAKE_PREFIX_PATH. Host tools (qmake, moc, rcc) come from the same source.
#
#   scripts/deps/build_qt_mingw.sh [VERSION]
#
# The prefix is cached under the dependency cache, keyed by the source
# version, the configure flags and the compiler, and reused by every later
# call. The source tree is shared with other builds and is never written to:
# Qt is configured and built out of source.
#
# The library is the same wherever the cache lies: the prefix it carries (for
# QLibraryInfo) is a fixed one, the cache folder only the place it is
# installed to, and the source and build trees are mapped to fixed names in
# __FILE__ (asserts, Q_CHECK_PTR). @SRC@ and @BUILD@ in the flags stand for
# the two trees; the key is taken before they are filled in, so it does not
# depend on the cache's place either.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
version=${1:-5.15.8+dfsg-11+deb12u3}
cache=${PCREPORT_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pcreport-deps}
jobs=${PCREPORT_DEPS_JOBS:-2}
say() { echo "build_qt_mingw: $*" >&2; }

# shellcheck source=mingw_tools.sh
. "$here/mingw_tools.sh"
# shellcheck source=progress.sh
. "$here/progress.sh"

flags=(-opensource -confirm-license -static -release -optimize-size
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
    -nomake tests -nomake examples -make libs -make tools
    -no-gui -no-widgets -no-opengl -no-dbus -no-openssl -no-icu -no-pkg-config
    -qt-pcre -qt-zlib -no-feature-network -no-feature-sql -no-feature-xml
    -no-feature-concurrent
    -prefix "C:/Qt/${version%%+*}-pcreport"
    "QMAKE_CFLAGS+=-ffile-prefix-map=@SRC@=qtbase-src -ffile-prefix-map=@BUILD@=qtbase-build"
    "QMAKE_CXXFLAGS+=-ffile-prefix-map=@SRC@=qtbase-src -ffile-prefix-map=@BUILD@=qtbase-build")
key=$(printf '%s\n' "qtbase $version" "${flags[@]}" "$(mingw_compiler_id)" | sha256sum | cut -c1-16)
prefix=$cache/mingw/qtbase-${version%%+*}-$key
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

src=$("$here/fetch_source.sh" qtbase-opensource-src "$version")
work=$cache/mingw/.work-qtbase-$key
rm -rf "$work" "$prefix"
mkdir -p "$work/build"
mingw_tool_dir "$work/tools"
export PATH="$work/tools:$PATH"
started=$(date +%s)
say "configuring in $work/build (log: $work/build.log)"
progress_start build_qt_mingw "$work/build"
args=("${flags[@]//@SRC@/"$src"}")
args=("${args[@]//@BUILD@/"$work/build"}")
(cd "$work/build" && "$src/configure" -extprefix "$prefix" "${args[@]}") >"$work/build.log" 2>&1 ||
    { tail -n 40 "$work/build.log" >&2; say "configure failed"; exit 1; }
say "building with -j$jobs"
make -C "$work/build" -j"$jobs" >>"$work/build.log" 2>&1 ||
    { grep -E 'error|Error' "$work/build.log" | tail -n 30 >&2; say "build failed (see $work/build.log)"; exit 1; }
make -C "$work/build" install >>"$work/build.log" 2>&1 ||
    { tail -n 30 "$work/build.log" >&2; say "install failed"; exit 1; }
progress_stop
say "built in $(($(date +%s) - started)) s"
cp "$work/build.log" "$prefix/build.log"
rm -rf "$work"
touch "$prefix/.complete"
echo "$prefix"
