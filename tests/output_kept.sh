#!/usr/bin/env bash
# A stage that fails must say why: no script throws away what wine, the
# package set-up or a build prints. Lists every command of the scripts that
# runs one of those with its output sent to /dev/null, and fails when there is
# one.
#
#   bash tests/output_kept.sh SOURCE_DIR
set -u
cd "$1" || exit 1
# A command continued over several lines is read as one, under its first line.
found=$(awk -v runs='\\$\\{?wine(server)?\\}?([^a-z_]|$)|wineboot|reg add|setup\\.sh|apt-get|cmake |build(_windows)?\\.sh|deps/build_' '
    { line = cont ? line " " $0 : $0; if (!cont) start = FNR; cont = /\\$/ }
    !cont && line ~ runs && line ~ /(>|&>) *\/dev\/null/ && line !~ /command -v/ {
        print FILENAME ":" start ": " line }' \
    scripts/*.sh scripts/deps/*.sh tests/*.sh tests/*/*.sh .ci/run)
if [ -n "$found" ]; then
    echo "output thrown away, which a failure would need to tell its cause:" >&2
    echo "$found" >&2
    exit 1
fi
echo "no wine, set-up or build output thrown away"
