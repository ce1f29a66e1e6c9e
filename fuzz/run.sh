#!/bin/sh
# Builds the fuzz targets and runs each for the given number of seconds
# (default 60). Exits non-zero when a target finds a fault or cannot run.
# New inputs go to build/fuzz/corpus/<target>, findings to
# build/fuzz/artifacts/; the seed corpus in fuzz/corpus is only read.
set -eu

seconds=${1:-60}
case $seconds in
    ''|*[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

bin=build/fuzz/bin
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"

status=0
found=0
for target in "$bin"/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    found=$((found + 1))
    work=build/fuzz/corpus/$name
    mkdir -p "$work"
    dict=
    [ -f "fuzz/$name.dict" ] && dict="-dict=fuzz/$name.dict"
    echo "== $name: ${seconds}s"
    # -max_total_time bounds the run; -timeout catches a single slow input.
    if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$artifacts/$name-" $dict \
        "$work" "fuzz/corpus/$name"; then
        echo "== $name: FINDING (see $artifacts)" >&2
        status=1
    else
        echo "== $name: clean"
    fi
done
if [ "$found" -eq 0 ]; then
    echo "no fuzz targets were built" >&2
    exit 1
fi
exit $status
