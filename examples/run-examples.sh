#!/bin/sh
# Converts the bundled example sets in a fresh scratch directory, so the
# source tree is never written to, and lists what the directory then holds.
# Usage: examples/run-examples.sh CONVERTER
set -eu
converter=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/parvane-examples.XXXXXX")
for source in "$here"/tp* "$here"/tz* "$here"/ts*; do
  if [ -f "$source" ]; then cp "$source" "$scratch"/; fi
done
cd "$scratch"
status=0
"$converter" || status=$?
echo "Files in $scratch (bytes, name):"
for file in *; do
  printf '%8s  %s\n' "$(wc -c <"$file" | tr -d ' ')" "$file"
done
exit "$status"
