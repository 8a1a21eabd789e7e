#!/usr/bin/env bash
# Installs the built tree into a temporary prefix, builds an outside project against it with
# find_package(KvInet), and runs it.
set -euo pipefail
build=$1; source=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" >/dev/null
cmake -S "$source/tests/install/consumer" -B "$tmp/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$tmp/prefix" >/dev/null
cmake --build "$tmp/consumer" >/dev/null
out=$(LD_LIBRARY_PATH="$tmp/prefix/lib:$tmp/prefix/lib/x86_64-linux-gnu" "$tmp/consumer/consumer")
echo "$out"
[ "$out" = "aW5zdGFsbGVk é" ]
test -x "$tmp/prefix/bin/kvinet"
