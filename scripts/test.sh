#!/bin/sh
# make test: installs what the suite needs (as root) or names it, builds with
# the default preset, runs the suite in a private network namespace, and ends
# with a line naming the tests that were skipped.
#
# As root, missing Debian packages are installed (after apt-get update).
# Otherwise the apt-get line is printed; without the build's packages nothing
# can run, without a peer (nginx, apache2, ...) the tests that need it are
# reported by CTest as skipped.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/packages.sh

# shellcheck disable=SC2086
needed=$(oxr_missing_packages $OXR_BUILD_NEEDS $OXR_SUITE_NEEDS)
# shellcheck disable=SC2086
peers=$(oxr_missing_packages $OXR_PEER_NEEDS)
if ! oxr_install_packages "$needed$peers" "The test suite"; then
    if [ -n "$needed" ]; then
        echo "Without$needed the suite cannot be built or run." >&2
        exit 1
    fi
    echo "The suite runs without them; the tests that need them are skipped." >&2
fi

if ! scripts/isolated.sh true; then
    echo "The suite runs in a private network namespace: run make test as root, or" >&2
    echo "allow unprivileged user namespaces (sysctl user.max_user_namespaces, and on" >&2
    echo "Debian kernel.unprivileged_userns_clone=1 where that setting exists)." >&2
    exit 1
fi

cmake --preset default
cmake --build --preset default

log=build/default/ctest-last.log
status=0
scripts/isolated.sh ctest --preset default --output-log "$log" || status=$?

# CTest lists them at its end as "  12 - name (Skipped)".
skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$log" 2>/dev/null | paste -s -d ' ')
if [ -n "$skipped" ]; then
    echo
    echo "skipped (a program they need is missing): $skipped"
    # shellcheck disable=SC2086
    peers=$(oxr_missing_packages $OXR_PEER_NEEDS)
    if [ -n "$peers" ]; then
        echo "to run them too, as root: $(oxr_apt_line "$peers")"
    fi
fi
exit $status
