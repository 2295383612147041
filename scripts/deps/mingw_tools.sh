# Sourced by the mingw-w64 dependency builds.
#
# Debian's plain x86_64-w64-mingw32-gcc and -g++ are the win32 thread model,
# whose C++ library has no std::thread or std::mutex; the program and every
# library linked into it are built with the posix ones. Builds that only take
# a prefix (Qt's CROSS_COMPILE) find them through a directory of links that
# gives the posix compilers the plain names.

mingw_compiler_id() {
    x86_64-w64-mingw32-g++-posix --version | head -n 1
}

mingw_tool_dir() {
    local dir=$1 tool name
    mkdir -p "$dir"
    for tool in /usr/bin/x86_64-w64-mingw32-*; do
        name=${tool##*/}
        case $name in *-posix | *-win32 | *-gcc-[0-9]* | *-g++-[0-9]*) continue ;; esac
        ln -sf "$tool" "$dir/$name"
    done
    ln -sf /usr/bin/x86_64-w64-mingw32-gcc-posix "$dir/x86_64-w64-mingw32-gcc"
    ln -sf /usr/bin/x86_64-w64-mingw32-g++-posix "$dir/x86_64-w64-mingw32-g++"
    ln -sf /usr/bin/x86_64-w64-mingw32-g++-posix "$dir/x86_64-w64-mingw32-c++"
}
