#!/bin/sh
# Runs a command inside a private network namespace with only loopback up, so
# nothing a test does can leave the machine. The library's log directory
# /tmp/httplog is an empty tmpfs of the run's own there: what a run leaves in
# it is not met by the next, nor shared with other users' runs or runs at the
# same time (one made by root would refuse another user's files). Needs root
# (or unprivileged user namespaces, then it maps the caller to root inside).
set -e
if [ "$(id -u)" = 0 ]; then
    userns=
else
    userns=-r
fi
mkdir -p /tmp/httplog 2>/dev/null || true
exec unshare $userns -n -m sh -c \
    'ip link set lo up && mount -t tmpfs -o mode=1777 isolated-httplog /tmp/httplog &&
     exec "$@"' isolated "$@"
