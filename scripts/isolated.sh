#!/bin/sh
# Runs a command inside a private network namespace with only loopback up, so
# nothing a test does can leave the machine. Needs root (or unprivileged user
# namespaces, then it maps the caller to root inside).
set -e
if [ "$(id -u)" = 0 ]; then
    exec unshare -n sh -c 'ip link set lo up && exec "$@"' isolated "$@"
else
    exec unshare -rn sh -c 'ip link set lo up && exec "$@"' isolated "$@"
fi
