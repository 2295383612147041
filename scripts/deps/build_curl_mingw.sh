#!/usr/bin/env bash
# Cross-builds a static libcurl for 64-bit Windows (mingw-w64, posix thread
# model) from Debian's curl source package, plain HTTP only over Windows
# sockets (no TLS, no zlib, no IDN), with curl's own CMake build, whose package
# file gives CURL::libcurl with CURL_STATICLIB and the Windows system
# libraries. Prints the install prefix, for CMAKE_PREFIX_PATH.
#
#   scripts/deps/build_curl_mingw.sh [VERSION]
#
# Cached under the dependency cache, keyed by version, flags and compiler; the
# shared source tree is only read (the build is out of source). The library is
# the same wherever the cache lies: the source and build trees are mapped to
# fixed names in __FILE__; @SRC@ and @BUILD@ in the flags stand for them, and
# the key is taken before they are filled in.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
version=${1:-7.88.1-10+deb12u15}
cache=${PCREPORT_DEPS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/pcreport-deps}
jobs=${PCREPORT_DEPS_JOBS:-2}
say() { echo "build_curl_mingw: $*" >&2; }

# shellcheck source=mingw_tools.sh
. "$here/mingw_tools.sh"
# shellcheck source=progress.sh
. "$here/progress.sh"

flags=(-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCURL_STATICLIB=ON
    -DHTTP_ONLY=ON -DCURL_ENABLE_SSL=OFF -DCURL_USE_OPENSSL=OFF -DCURL_ZLIB=OFF
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_LIBIDN2=OFF -DUSE_NGHTTP2=OFF
    -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF
    -DCURL_USE_GSSAPI=OFF -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON
    -DENABLE_UNIX_SOCKETS=OFF -DENABLE_THREADED_RESOLVER=ON
    -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF
    "-DCMAKE_C_FLAGS=-ffile-prefix-map=@SRC@=curl-src -ffile-prefix-map=@BUILD@=curl-build")
key=$(printf '%s\n' "curl $version" "${flags[@]}" "$(mingw_compiler_id)" | sha256sum | cut -c1-16)
prefix=$cache/mingw/curl-${version%%-*}-$key
if [ -f "$prefix/.complete" ]; then
    echo "$prefix"
    exit 0
fi

src=$("$here/fetch_source.sh" curl "$version")
work=$cache/mingw/.work-curl-$key
rm -rf "$work" "$prefix"
mkdir -p "$work"
started=$(date +%s)
say "building in $work (log: $work/build.log)"
progress_start build_curl_mingw "$work"
args=("${flags[@]//@SRC@/"$src"}")
args=("${args[@]//@BUILD@/"$work/build"}")
{
    cmake -S "$src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
        -DCMAKE_INSTALL_PREFIX="$prefix" "${args[@]}" &&
        cmake --build "$work/build" -j"$jobs" &&
        cmake --install "$work/build"
} >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; say "failed (see $work/build.log)"; exit 1; }
progress_stop
say "built in $(($(date +%s) - started)) s"
cp "$work/build.log" "$prefix/build.log"
rm -rf "$work"
touch "$prefix/.complete"
echo "$prefix"
