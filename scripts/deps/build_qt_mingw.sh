#!/usr/bin/env bash
# Cross-builds a static, release Qt 5 Core for 64-bit Windows (mingw-w64, posix
# thread model) from Debian's qtbase source package and prints its install
# prefix, which find_package(Qt5 COMPONENTS Core) takes through
# CMAKE_PREFIX_PATH. Host tools (qmake, moc, rcc) come from the same source.
#
#   scripts/deps/build_qt_mingw.sh [VERSION]
#
# Cached (cached_build.sh), keyed by the source version, the configure flags
# and the compiler. The source tree is shared with other builds and is never
# written to: Qt is configured and built out of source.
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
jobs=${PCREPORT_DEPS_JOBS:-2}
# shellcheck source=cached_build.sh
. "$here/cached_build.sh"
# shellcheck source=mingw_tools.sh
. "$here/mingw_tools.sh"

flags=(-opensource -confirm-license -static -release -optimize-size
    -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32-
    -nomake tests -nomake examples -make libs -make tools
    -no-gui -no-widgets -no-opengl -no-dbus -no-openssl -no-icu -no-pkg-config
    -qt-pcre -qt-zlib -no-feature-network -no-feature-sql -no-feature-xml
    -no-feature-concurrent
    -prefix "C:/Qt/${version%%+*}-pcreport"
    "QMAKE_CFLAGS+=-ffile-prefix-map=@SRC@=qtbase-src -ffile-prefix-map=@BUILD@=qtbase-build"
    "QMAKE_CXXFLAGS+=-ffile-prefix-map=@SRC@=qtbase-src -ffile-prefix-map=@BUILD@=qtbase-build")
key=$(cache_key 16 "qtbase $version" "${flags[@]}" "$(mingw_compiler_id)")
prefix=$deps_cache/mingw/qtbase-${version%%+*}-$key
cached "$prefix" .complete

src=$("$here/fetch_source.sh" qtbase-opensource-src "$version")
work=$deps_cache/mingw/.work-qtbase-$key
build_begin "$work"
mkdir -p "$work/build"
mingw_tool_dir "$work/tools"
export PATH="$work/tools:$PATH"
args=("${flags[@]//@SRC@/"$src"}")
args=("${args[@]//@BUILD@/"$work/build"}")
cd "$work/build"
build_step "$src/configure" -extprefix "$prefix" "${args[@]}"
build_step make -j"$jobs"
build_step make install
build_done
