#!/bin/sh
# The oxrhttp demo: builds the library and its tools, starts the demo camera
# on loopback, and lets oxr-http fetch a snapshot, a few seconds of video, a
# video stream the camera cuts twice, some events and a command answer, and
# poll snapshots over one kept connection; then prints what arrived and
# stops the cameras. Everything
# stays on 127.0.0.1 and the cameras stop by themselves.
#
#   tools/demo.sh [--no-build] [--bin DIR] [--out DIR]
#
# --no-build  use the programs already built
# --bin DIR   where the programs are (default: build/default/bin)
# --out DIR   where received data goes (default: demo-out)
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out=demo-out
build=yes
bin=$root/build/default/bin
while [ $# -gt 0 ]; do
    case $1 in
    --no-build) build=no ;;
    --out) out=$2; shift ;;
    --bin) bin=$2; shift ;;
    *) echo "usage: tools/demo.sh [--no-build] [--bin DIR] [--out DIR]" >&2; exit 2 ;;
    esac
    shift
done

say() { printf '\n== %s\n' "$*"; }

# ---------------------------------------------------------------- tools
. "$root/scripts/packages.sh"

if [ "$build" = yes ]; then
    # shellcheck disable=SC2086
    missing=$(oxr_missing_packages $OXR_BUILD_NEEDS)
    oxr_install_packages "$missing" "The demo" || {
        echo "then run the demo again." >&2
        exit 1
    }
    say "building (cmake --preset default)"
    cmake --preset default >/dev/null
    cmake --build --preset default --target oxr-http oxr-demo-camera
fi
for program in oxr-http oxr-demo-camera; do
    if [ ! -x "$bin/$program" ]; then
        echo "missing $bin/$program: build first (tools/demo.sh without --no-build)" >&2
        exit 1
    fi
done

# ---------------------------------------------------------------- camera
rm -rf "$out"
mkdir -p "$out"
say "starting the demo camera on 127.0.0.1"
"$bin/oxr-demo-camera" --port 0 --fps 15 --run-time 40 >"$out/camera.txt" 2>"$out/camera-log.txt" &
camera=$!
trap 'kill "$camera" 2>/dev/null || true; wait "$camera" 2>/dev/null || true' EXIT INT TERM
# Waits up to 5 s for a camera (pid $1) to print $2 to its output $3; if it
# does not, shows its log $4 and stops the demo.
await_camera() {
    tries=0
    until grep -q "$2" "$3" 2>/dev/null; do
        tries=$((tries + 1))
        if [ "$tries" -gt 50 ] || ! kill -0 "$1" 2>/dev/null; then
            echo "the $5 did not start:" >&2
            cat "$4" >&2
            exit 1
        fi
        sleep 0.1
    done
}
await_camera "$camera" 'listening on' "$out/camera.txt" "$out/camera-log.txt" "demo camera"
cat "$out/camera.txt"
url=$(sed -n 's/.*listening on \(http:[^ ]*\)\/ .*/\1/p' "$out/camera.txt")

client() { timeout 30 "$bin/oxr-http" "$@"; }

# ---------------------------------------------------------------- requests
say "snapshot: oxr-http --parts $out/snapshot $url/snapshot.jpg"
client --parts "$out/snapshot" "$url/snapshot.jpg"

say "video: oxr-http --parts $out/video --duration 3 $url/video.mjpg"
client --parts "$out/video" --duration 3 "$url/video.mjpg"

# A camera that drops the stream in the middle of a frame, twice: oxr-http
# asks the library to make the stream again, and every frame still arrives
# once, whole and in order (the camera goes on with the frame it cut).
say "video cut twice: oxr-http --reconnect 2000 --parts $out/drops '$url/video.mjpg?drop=8&drops=2&frames=24'"
client --reconnect 2000 --parts "$out/drops" "$url/video.mjpg?drop=8&drops=2&frames=24" \
    2>"$out/drops-log.txt"
cat "$out/drops-log.txt"

say "events: oxr-http --parts $out/events --max-parts 8 '$url/events?interval=250&count=8'"
client --parts "$out/events" --max-parts 8 --timeout 5000 "$url/events?interval=250&count=8"

say "command without authorization (the camera answers 401, oxr-http exits with 6)"
status=0
client -s "$url/cgi-bin/admin/set?exposure=auto" || status=$?
echo "exit code $status"

say "command: oxr-http -u admin:demo -o $out/command.txt $url/cgi-bin/admin/set?exposure=auto"
client -u admin:demo -o "$out/command.txt" "$url/cgi-bin/admin/set?exposure=auto"
printf 'answer: %s\n' "$(cat "$out/command.txt")"

# The same credentials against paths that want Digest: the library answers
# the camera's challenge by itself; -v names the scheme it used.
say "Digest snapshot: oxr-http -v -u admin:demo --parts $out/digest '$url/snapshot.jpg?auth=digest'"
client -v -u admin:demo --parts "$out/digest" "$url/snapshot.jpg?auth=digest" 2>&1 |
    grep 'authorization:' || true

say "Digest command: oxr-http -u admin:demo '$url/cgi-bin/admin/set?gain=3&auth=digest'"
client -u admin:demo -o "$out/digest-command.txt" "$url/cgi-bin/admin/set?gain=3&auth=digest"
printf 'answer: %s\n' "$(cat "$out/digest-command.txt")"

# A second camera that speaks TLS only, with a certificate it made at start:
# not trusted by anyone, so the client pins its fingerprint.
"$bin/oxr-demo-camera" --tls --port 0 --run-time 30 >"$out/camera-tls.txt" 2>"$out/camera-tls-log.txt" &
tlscamera=$!
trap 'kill "$camera" "$tlscamera" 2>/dev/null || true; wait 2>/dev/null || true' EXIT INT TERM
await_camera "$tlscamera" 'Fingerprint=' "$out/camera-tls.txt" "$out/camera-tls-log.txt" \
    "TLS demo camera"
tlsurl=$(sed -n 's/.*listening on \(https:[^ ]*\)\/ .*/\1/p' "$out/camera-tls.txt")
fingerprint=$(sed -n 's/.*Fingerprint=//p' "$out/camera-tls.txt")
say "HTTPS snapshot: oxr-http --pin <the camera's fingerprint> --parts $out/https $tlsurl/snapshot.jpg"
client --pin "$fingerprint" --parts "$out/https" "$tlsurl/snapshot.jpg"

# Polling: one oxr-http, one session, ten requests. Both sides keep the
# connection alive, so the Digest challenge is answered on it and the nine
# requests after carry their answer at once; -v counts the connections.
say "polled over HTTPS with Digest: oxr-http -v --repeat 10 --interval 100 -u admin:demo --pin <fingerprint> --parts $out/poll '$tlsurl/snapshot.jpg?auth=digest'"
client -s -v --repeat 10 --interval 100 -u admin:demo --pin "$fingerprint" --parts "$out/poll" \
    "$tlsurl/snapshot.jpg?auth=digest" 2>"$out/poll-log.txt"
poll=$(sed -n 's/^oxr-http: \([0-9]* requests over .*\)/\1/p' "$out/poll-log.txt")
echo "$poll"

kill "$camera" "$tlscamera" 2>/dev/null || true
wait "$camera" "$tlscamera" 2>/dev/null || true
trap - EXIT INT TERM

# ---------------------------------------------------------------- table
# Each frame and event carries the camera's send time (sent_ms, in a JPEG
# comment or in the event text); index.tsv has the time each part reached
# oxr-http. The difference is the part delivery delay.
rows() {
    dir=$1
    [ -f "$dir/index.tsv" ] || return 0
    tail -n +2 "$dir/index.tsv" | while IFS="$(printf '\t')" read -r _part file bytes _type received; do
        sent=$(grep -a -o -m 1 'sent_ms[":=]*[0-9]*' "$dir/$file" | head -n 1 | tr -dc '0-9')
        echo "$bytes $received ${sent:-0}"
    done
}
line() {
    rows "$out/$1" | awk -v name="$1" '
        { n++; bytes += $1; if (n == 1) first = $2; last = $2
          if ($3 > 0) { d = $2 - $3; sum += d; if (d > max) max = d; m++ } }
        END {
            rate = (n > 1 && last > first) ? sprintf("%.1f/s", (n - 1) * 1000 / (last - first)) : "-"
            delay = m > 0 ? sprintf("%d / %d", sum / m, max) : "-"
            printf "%-10s %6d %10d  %-9s %s\n", name, n, bytes, rate, delay
        }'
}
# The frame numbers the camera wrote into the JPEG comments of the stream it
# cut, in the order they arrived; and whether each picture ends with the
# JPEG end marker (a cut frame would not).
frames() {
    tail -n +2 "$out/drops/index.tsv" | while IFS="$(printf '\t')" read -r _part file _rest; do
        n=$(grep -a -o -m 1 'frame=[0-9]*' "$out/drops/$file" | head -n 1 | tr -dc '0-9')
        end=$(tail -c 2 "$out/drops/$file" | od -An -tx1 | tr -d ' \n')
        echo "${n:-0} $end"
    done | awk '
        { n++; if ($1 != n) order = 1; if ($2 != "ffd9") cut++ }
        END {
            if (order) printf "frames NOT once and in order"
            else printf "frames 1 to %d, each once and in order", n
            printf cut ? ", %d cut\n" : ", all whole\n", cut
        }'
}
drops=$(sed -n 's/^reconnects: //p' "$out/drops-log.txt")

say "received"
printf '%-10s %6s %10s  %-9s %s\n' "stream" "parts" "bytes" "rate" "delay ms (mean / max)"
line snapshot
line digest
line https
line poll
line video
line drops
line events
echo
echo "poll: $poll (HTTPS, Digest)"
echo "drops: $(frames); reconnects: $drops"
echo
echo "Files are in $out/: snapshot/, digest/, https/, poll/, video/, drops/ and events/"
echo "(each with index.tsv), command.txt, digest-command.txt, poll-log.txt (oxr-http -v"
echo "of the poll) and drops-log.txt (what oxr-http said about the stream that was cut)."
