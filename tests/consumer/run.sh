#!/bin/sh
# Builds the consumer against an installed oxrhttp twice (find_package and
# pkg-config) and runs both.
#   tests/consumer/run.sh [BUILD_DIR]   installs the build tree (default
#                                       build/default) into a temporary prefix
#   tests/consumer/run.sh --deb DIR     installs the .deb packages in DIR with
#                                       apt-get (as root) and removes them after
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/oxrhttp-consumer.XXXXXX")
debs=
cleanup() {
    if [ -n "$debs" ]; then
        echo "== removing the packages"
        apt-get remove --purge -y -q liboxrhttp-dev liboxrhttp1 >"$work/remove.log" 2>&1 ||
            cat "$work/remove.log" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

if [ "${1:-}" = "--deb" ]; then
    dir=$(cd "${2:?directory of the .deb packages}" && pwd)
    if dpkg -s liboxrhttp1 >/dev/null 2>&1 || dpkg -s liboxrhttp-dev >/dev/null 2>&1; then
        echo "liboxrhttp1 or liboxrhttp-dev is installed already; remove it first" >&2
        exit 1
    fi
    echo "== apt-get install $dir/liboxrhttp*.deb"
    debs=yes
    apt-get install -y -q "$dir"/liboxrhttp1_*.deb "$dir"/liboxrhttp-dev_*.deb >"$work/install.log" 2>&1 ||
        { cat "$work/install.log" >&2; exit 1; }
    dpkg -L liboxrhttp1 liboxrhttp-dev | grep -e '\.so' -e '\.h$' -e '\.pc$' -e 'Config\.cmake$'
    libdir=$(dirname "$(dpkg -L liboxrhttp1 | grep '/liboxrhttp\.so\.1$')")
    prefix_path=
    pc_path=
else
    build=$(cd "${1:-$root/build/default}" && pwd)
    echo "== install into $work/prefix"
    cmake --install "$build" --prefix "$work/prefix" >"$work/install.log"
    test -f "$work/prefix/include/oxr_http.h"
    prefix_path=$work/prefix
    pc_path=$(dirname "$(find "$work/prefix" -name oxrhttp.pc | head -n 1)")
    libdir=$(dirname "$(find "$work/prefix" -name liboxrhttp.so.1 | head -n 1)")
fi

# PROGRAM loads the library installed in $libdir, not another one.
loads_installed() {
    got=$(ldd "$1" | sed -n 's/.*liboxrhttp\.so\.1 => \([^ ]*\) .*/\1/p')
    [ -n "$got" ] && [ "$(readlink -f "$got")" = "$(readlink -f "$libdir/liboxrhttp.so.1")" ] || {
        echo "$1 does not load liboxrhttp.so.1 from $libdir:" >&2
        ldd "$1" >&2
        exit 1
    }
}

echo "== consumer with find_package(oxrhttp)"
cmake -S "$here" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix_path" >"$work/configure.log"
cmake --build "$work/cmake-build" >"$work/build.log" || { cat "$work/build.log"; exit 1; }
loads_installed "$work/cmake-build/consumer"
"$work/cmake-build/consumer"

echo "== consumer with pkg-config"
PKG_CONFIG_PATH="$pc_path" make -s -C "$here" OUT="$work"
loads_installed "$work/consumer-pkgconfig"
"$work/consumer-pkgconfig"

echo "consumer package check: 2 passed, 0 failed"
