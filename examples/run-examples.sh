#!/bin/sh
# Converts the bundled example sets in a fresh scratch directory, so the
# source tree is never written to. Usage: examples/run-examples.sh CONVERTER
set -eu
converter=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/parvane-examples.XXXXXX")
cp "$here"/tp* "$here"/tz* "$scratch"/
cp "$here"/ts* "$scratch"/ 2>/dev/null || true
cd "$scratch"
status=0
"$converter" || status=$?
echo "Converted files are in $scratch:"
ls -l "$scratch"
exit "$status"
