#!/bin/sh
# Installs the build into a scratch prefix and checks that the tool and its manual land in
# bin and share/man/man1, and that the installed tool runs: with no arguments it prints
# its usage text and exits with -3, which the shell sees as 253.
# Usage: install_test.sh <cmake> <build directory>
set -u
cmake=$1
build=$2
prefix=$(mktemp -d) || exit 1
trap 'rm -rf "$prefix"' EXIT

fail() { echo "FAIL: $*"; exit 1; }

"$cmake" --install "$build" --prefix "$prefix" >"$prefix/install.log" 2>&1 ||
    { cat "$prefix/install.log"; fail "cmake --install failed"; }

[ -f "$prefix/bin/quivel" ] || fail "bin/quivel not installed"
[ -x "$prefix/bin/quivel" ] || fail "bin/quivel is not executable"
[ -f "$prefix/share/man/man1/quivel.1" ] || fail "share/man/man1/quivel.1 not installed"

mkdir "$prefix/run" || exit 1
(cd "$prefix/run" && "$prefix/bin/quivel" >"$prefix/usage.out")
status=$?
[ "$status" -eq 253 ] || fail "installed quivel exited with $status, not 253"

printf '%s\n\n%s\n\n%s\n%s\n' \
    'Quivelant V2.0 by Tarrowin' \
    'Usage: Quivel <input image> <convolve matrix image>' \
    'File images must be ... : Windows bitmap (.BMP) 24-bit RGB uncompressed' \
    'Output image will be .. : output.bmp' >"$prefix/usage.expected"
cmp -s "$prefix/usage.out" "$prefix/usage.expected" ||
    { cat "$prefix/usage.out"; fail "installed quivel printed another usage text"; }
[ ! -e "$prefix/run/output.bmp" ] || fail "usage run created output.bmp"
echo "installed into $prefix: bin/quivel, share/man/man1/quivel.1; usage text and 253"
