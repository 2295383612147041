#!/usr/bin/env bash
# Cross-builds a static libcurl for 64-bit Windows (mingw-w64, posix thread
# model) from Debian's curl source package, plain HTTP only over Windows
# sockets (no TLS, no zlib, no IDN), with curl's own CMake build, whose package
# file gives CURL::libcurl with CURL_STATICLIB and the Windows system
# libraries. Prints the install prefix, for CMAKE_PREFIX_PATH.
#
#   scripts/deps/build_curl_mingw.sh [VERSION]
#
# Cached (cached_build.sh), keyed by version, flags and compiler; the shared
# source tree is only read (the build is out of source). The library is
# the same wherever the cache lies: the source and build trees are mapped to
# fixed names in __FILE__; @SRC@ and @BUILD@ in the flags stand for them, and
# the key is taken before they are filled in.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
version=${1:-7.88.1-10+deb12u15}
jobs=${PCREPORT_DEPS_JOBS:-2}
# shellcheck source=cached_build.sh
. "$here/cached_build.sh"
# shellcheck source=mingw_tools.sh
. "$here/mingw_tools.sh"

flags=(-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DCURL_STATICLIB=ON
    -DHTTP_ONLY=ON -DCURL_ENABLE_SSL=OFF -DCURL_USE_OPENSSL=OFF -DCURL_ZLIB=OFF
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_LIBIDN2=OFF -DUSE_NGHTTP2=OFF
    -DCURL_USE_LIBPSL=OFF -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF
    -DCURL_USE_GSSAPI=OFF -DCURL_DISABLE_LDAP=ON -DCURL_DISABLE_LDAPS=ON
    -DENABLE_UNIX_SOCKETS=OFF -DENABLE_THREADED_RESOLVER=ON
    -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF
    "-DCMAKE_C_FLAGS=-ffile-prefix-map=@SRC@=curl-src -ffile-prefix-map=@BUILD@=curl-build")
key=$(cache_key 16 "curl $version" "${flags[@]}" "$(mingw_compiler_id)")
prefix=$deps_cache/mingw/curl-${version%%-*}-$key
cached "$prefix" .complete

src=$("$here/fetch_source.sh" curl "$version")
work=$deps_cache/mingw/.work-curl-$key
build_begin "$work"
args=("${flags[@]//@SRC@/"$src"}")
args=("${args[@]//@BUILD@/"$work/build"}")
build_step cmake -S "$src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_INSTALL_PREFIX="$prefix" "${args[@]}"
build_step cmake --build "$work/build" -j"$jobs"
build_step cmake --install "$work/build"
build_done
