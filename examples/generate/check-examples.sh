#!/bin/sh
# Regenerates the example sets in a scratch directory and compares them byte
# for byte with the committed ones, in both directions: no set may differ,
# be missing or be left over.
# Usage: check-examples.sh GENERATOR EXAMPLES_DIRECTORY
set -eu
generator=$1
examples=$2
scratch=$(mktemp -d "${TMPDIR:-/tmp}/parvane-regen.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
"$generator" "$scratch"
status=0
for path in "$scratch"/*; do
  name=$(basename "$path")
  cmp "$path" "$examples/$name" || { echo "differs or missing: examples/$name"; status=1; }
done
for path in "$examples"/tp* "$examples"/tz* "$examples"/ts*; do
  [ -e "$path" ] || continue
  name=$(basename "$path")
  [ -e "$scratch/$name" ] || { echo "not written by the generator: examples/$name"; status=1; }
done
[ "$status" = 0 ] && echo "example sets match the generator"
exit "$status"
