#!/bin/sh
# The 1000 live streams with the client in the 32-bit or 64-bit Windows
# build under wine: starts the Linux server (bench_streams --serve) in the
# background, runs bench_streams_client.exe against it, and waits for the
# server to stop. Meant to run inside scripts/isolated.sh, so that server,
# wine and its wineserver share one private network namespace:
#
#   scripts/isolated.sh bench/streams_wine.sh [--win64 | --native] [options]
#
# The options (--sessions, --duration, --rate, --min-bytes, --max-bytes,
# --quick) go to both sides; --win64 runs the 64-bit client (win64-bench
# build, under wine64), --native the Linux bench_streams_client instead of
# the Windows one. Needs the bench build and the win32-bench (or
# win64-bench) build; OXR_WIN_CLIENT names another Windows client.
#
# Wine runs in a prefix of its own (build/wine-bench, made on the first run;
# 64-bit, as wine makes it where wine64 is installed, so it runs both
# clients), so its wineserver starts here, inside the namespace: a wineserver already
# running elsewhere would create the sockets in its own namespace. Every
# process stops by itself: the server after its last stream has closed (or
# after duration + 120 s), the client after duration + 120 s at the latest,
# and each is run under `timeout` besides.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
SERVER="$ROOT/build/bench/bin/bench_streams"
NATIVE_CLIENT="$ROOT/build/bench/bin/bench_streams_client"
WIN_CLIENT="${OXR_WIN_CLIENT:-$ROOT/build/win32-bench/bin/bench_streams_client.exe}"
export WINEPREFIX="$ROOT/build/wine-bench"
export WINEDEBUG="${WINEDEBUG:--all}"

native=0
if [ "${1:-}" = "--native" ]; then
    native=1
    shift
elif [ "${1:-}" = "--win64" ]; then
    WIN_CLIENT="${OXR_WIN_CLIENT:-$ROOT/build/win64-bench/bin/bench_streams_client.exe}"
    shift
fi
# The run's length, for the outer time limits.
duration=30
prev=
for a in "$@"; do
    [ "$prev" = "--duration" ] && duration=$a
    [ "$a" = "--quick" ] && duration=3
    prev=$a
done
limit=$((duration + 180))

for f in "$SERVER" "$NATIVE_CLIENT"; do
    [ -x "$f" ] || { echo "missing $f: cmake --preset bench && cmake --build --preset bench" >&2; exit 2; }
done
if [ $native = 0 ]; then
    [ -f "$WIN_CLIENT" ] || { echo "missing $WIN_CLIENT: build it with its preset (win32-bench or win64-bench)" >&2; exit 2; }
    # The prefix first (the first time: some seconds), so that the server's
    # time limit does not run while wine sets up.
    timeout 300 wineboot -i >/dev/null 2>&1 || true
    echo "wine: $(wine --version), prefix $WINEPREFIX"
fi

tmp=$(mktemp -d)
port_file="$tmp/port"
timeout -k 5 $((limit + 30)) "$SERVER" --serve "$port_file" "$@" &
server=$!
i=0
while [ ! -s "$port_file" ] && [ $i -lt 100 ]; do
    sleep 0.1
    i=$((i + 1))
done
if [ ! -s "$port_file" ]; then
    echo "the server did not start" >&2
    kill "$server" 2>/dev/null || true
    rm -rf "$tmp"
    exit 1
fi
port=$(cat "$port_file")

# The CPU time of this prefix's wineserver (its working directory is named
# after the prefix's inode), sampled every 10 s while the client runs.
wineserver_pid() {
    ino=$(printf '%x' "$(stat -c %i "$WINEPREFIX")")
    for p in $(pgrep wineserver); do
        case "$(readlink "/proc/$p/cwd" 2>/dev/null)" in
        */server-*-"$ino") echo "$p"; return ;;
        esac
    done
}
sample_wineserver() {
    tck=$(getconf CLK_TCK)
    last=0
    n=0
    while [ -e "$tmp/running" ] && [ $n -lt $((limit / 10 + 1)) ]; do
        sleep 10
        n=$((n + 1))
        p=$(wineserver_pid)
        [ -n "$p" ] || continue
        cpu=$(awk -v t="$tck" '{ printf "%.1f", ($14 + $15) / t }' "/proc/$p/stat" 2>/dev/null) || continue
        echo "  $((n * 10)) s: wineserver CPU $cpu s in all, $(awk -v a="$cpu" -v b="$last" 'BEGIN { printf "%.0f", (a - b) * 10 }') % of a core over the last 10 s"
        last=$cpu
    done
}

status=0
touch "$tmp/running"
if [ $native = 1 ]; then
    timeout -k 5 $limit "$NATIVE_CLIENT" --port "$port" "$@" || status=$?
else
    sample_wineserver > "$tmp/wineserver" &
    sampler=$!
    timeout -k 5 $limit wine "$WIN_CLIENT" --port "$port" "$@" || status=$?
    rm -f "$tmp/running"
    wait "$sampler" || true
    echo
    echo "wineserver (this prefix's), sampled every 10 s from the client's start:"
    cat "$tmp/wineserver"
fi
rm -f "$tmp/running"

# The server ends 10 s after the last stream has closed; past 30 s it is stopped.
i=0
while kill -0 "$server" 2>/dev/null && [ $i -lt 300 ]; do
    sleep 0.1
    i=$((i + 1))
done
kill "$server" 2>/dev/null || true
wait "$server" 2>/dev/null || true
if [ $native = 0 ]; then
    timeout 30 wineserver -w || true
fi
rm -rf "$tmp"
exit $status
