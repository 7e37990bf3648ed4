#!/bin/sh
# Runs the example generator into a fresh directory and compares every file it writes
# with the committed one in the examples directory.
# Usage: check_examples.sh <make_examples binary> <examples directory>
set -u
generator=$1
examples=$2
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT

"$generator" "$work" || { echo "generator failed"; exit 1; }
status=0
for made in "$work"/*.bmp; do
    name=$(basename "$made")
    if ! cmp -s "$made" "$examples/$name"; then
        echo "examples/$name differs from what the generator draws; rewrite it with: $generator $examples"
        status=1
    fi
done
exit $status
