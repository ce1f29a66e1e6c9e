#!/bin/sh
# Installs the library from a build tree into a temporary prefix, then builds
# the consumer against it twice (find_package and pkg-config) and runs both.
#   tests/consumer/run.sh [BUILD_DIR]     (default: build/default)
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$root/build/default}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/oxrhttp-consumer.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

echo "== install into $work/prefix"
cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
test -f "$work/prefix/include/oxr_http.h"
test -f "$work/prefix/lib/pkgconfig/oxrhttp.pc" || test -n "$(find "$work/prefix" -name oxrhttp.pc)"

echo "== consumer with find_package(oxrhttp)"
cmake -S "$here" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >"$work/configure.log"
cmake --build "$work/cmake-build" >"$work/build.log" || { cat "$work/build.log"; exit 1; }
"$work/cmake-build/consumer"

echo "== consumer with pkg-config"
pcdir=$(dirname "$(find "$work/prefix" -name oxrhttp.pc | head -n 1)")
PKG_CONFIG_PATH="$pcdir" make -s -C "$here" OUT="$work"
"$work/consumer-pkgconfig"

echo "consumer package check: 2 passed, 0 failed"
