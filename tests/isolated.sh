#!/usr/bin/env bash
# Runs one test program in namespaces of its own (tests/lib.sh, `isolate`):
# no process or Core Temp segment of the machine's can change its result, and
# none of its own can outlive it. ctest starts the tests through it.
#
#   bash tests/isolated.sh PROGRAM [ARGS...]
set -u
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
isolate "" "$0" "$@" || true
# Not exec: this shell stays the namespace's init and reaps what the test
# leaves orphaned; when it ends, the kernel ends everything left inside.
"$@"
