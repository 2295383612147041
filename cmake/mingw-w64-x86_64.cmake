# Cross-compiling for 64-bit Windows with Debian's mingw-w64
# (g++-mingw-w64-x86-64). The posix compilers, not the plain ones: those are
# the win32 thread model, whose C++ library has no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
# The libraries cross-built for it (Qt, libcurl) are found through
# CMAKE_PREFIX_PATH; they and the mingw-w64 tree are the only places a
# library or header may come from, never the build machine's own.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${CMAKE_PREFIX_PATH})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# ctest runs the Windows programs' tests under wine. Debian's /usr/bin/wine
# is a wrapper that wants wine32 first; 64-bit programs need only the wine64
# loader, so that is taken where it is.
find_program(PCREPORT_WINE NAMES wine64 wine HINTS /usr/lib/wine)
if(PCREPORT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PCREPORT_WINE})
endif()
