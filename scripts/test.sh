#!/usr/bin/env bash
# The whole test suite on a fresh Debian 12 machine: installs what is missing,
# builds with warnings as errors, runs every Linux test with ctest, runs them
# all again built with AddressSanitizer and UndefinedBehaviorSanitizer, and
# with ThreadSanitizer, fuzzes the decoders, then the Windows layer
# cross-compiled with mingw-w64 and run under wine.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
export BUILD_DIR=$build

"$top/scripts/build.sh" || { echo "build failed" >&2; exit 1; }

status=0
(cd "$build" && ctest --output-on-failure -j"$(nproc)" --timeout 300) || status=1
"$top/scripts/test_sanitizers.sh" "$build/sanitize" || status=1
"$top/scripts/test_sanitizers.sh" --thread "$build/tsan" || status=1
"$top/scripts/test_fuzz.sh" "$build/fuzz" || status=1
"$top/scripts/test_windows.sh" "$build/windows" || status=1
exit $status
