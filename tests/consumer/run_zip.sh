#!/bin/sh
# Builds the consumer against each Windows zip of make package, with the
# zip's header and import library only, and runs it under wine beside the
# zip's DLL.
#   tests/consumer/run_zip.sh build/packages/oxrhttp-*-win32.zip ...
# The architecture comes from the name (-win32: i686, -win64: x86_64).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/oxrhttp-zip.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
export WINEDEBUG=${WINEDEBUG:--all}

passed=0
for zip in "$@"; do
    case $zip in
    *-win32.zip) cc=i686-w64-mingw32-gcc ;;
    *-win64.zip) cc=x86_64-w64-mingw32-gcc ;;
    *) echo "not a -win32 or -win64 zip: $zip" >&2; exit 2 ;;
    esac
    name=$(basename "$zip" .zip)
    echo "== $name: consumer built with $cc against the zip"
    zip=$(cd "$(dirname "$zip")" && pwd)/$(basename "$zip")
    (cd "$work" && unzip -q "$zip")
    top=$work/$name
    for f in bin/oxrhttp.dll lib/oxrhttp.lib lib/oxrhttp.def include/oxr_http.h docs/api.md README.txt; do
        [ -f "$top/$f" ] || { echo "$name.zip lacks $f" >&2; exit 1; }
    done
    "$cc" -std=c11 -Wall -Wextra -Werror -I"$top/include" "$here/consumer.c" "$top/lib/oxrhttp.lib" \
        -o "$top/bin/consumer.exe"
    timeout 120 wine "$top/bin/consumer.exe"
    passed=$((passed + 1))
done
echo "consumer zip check: $passed passed, 0 failed"
