# Debian packages the make targets need: which are missing, and installing
# them (as root) or naming the apt-get line (otherwise). Sourced by
# tools/demo.sh and scripts/test.sh.
#
# A need is written PACKAGE:PROBE. The probe is the absolute path of a file
# the package provides (it must be a regular file), or a command it puts on
# the PATH.

# The build (library, tools, tests).
OXR_BUILD_NEEDS="cmake:cmake ninja-build:ninja g++:g++ libjpeg-dev:/usr/include/jpeglib.h
libssl-dev:/usr/include/openssl/ssl.h libgtest-dev:/usr/include/gtest/gtest.h"
# Running the suite: scripts/isolated.sh brings loopback up with ip.
OXR_SUITE_NEEDS="iproute2:/bin/ip"
# The suite's peers; each test that needs a missing one is skipped: the TLS
# tests (nginx, openssl, python3), the Digest test against Apache httpd
# (apache2), the demo camera's tests with a client of its own (curl).
OXR_PEER_NEEDS="nginx:/usr/sbin/nginx openssl:/usr/bin/openssl python3:python3
apache2:/usr/sbin/apache2 curl:/usr/bin/curl"
# make package: the Debian packages' build (dpkg-shlibdeps and file for
# their Depends) and the two Windows builds the zips come from.
OXR_PACKAGE_NEEDS="cmake:cmake ninja-build:ninja g++:g++ libssl-dev:/usr/include/openssl/ssl.h
dpkg-dev:dpkg-shlibdeps file:file googletest:/usr/src/googletest/CMakeLists.txt
g++-mingw-w64-i686:i686-w64-mingw32-g++-posix g++-mingw-w64-x86-64:x86_64-w64-mingw32-g++-posix"

# Prints the packages of the needs given whose probe fails, each after a
# blank (nothing when all are there).
oxr_missing_packages() {
    missing=
    for need in "$@"; do
        probe=${need#*:}
        case $probe in
        /*) [ -f "$probe" ] ;;
        *) command -v "$probe" >/dev/null 2>&1 ;;
        esac || missing="$missing ${need%%:*}"
    done
    printf '%s\n' "$missing"
}

# The apt-get line that installs the packages $1 (as oxr_missing_packages
# prints them).
oxr_apt_line() {
    printf 'apt-get update && apt-get install -y%s\n' "$1"
}

# Installs the packages $1 with apt-get (after apt-get update) when run as
# root and returns 0; otherwise says that $2 needs them, prints the line to
# run as root, and returns 1. Nothing to do when $1 is empty.
oxr_install_packages() {
    [ -n "$1" ] || return 0
    if [ "$(id -u)" = 0 ]; then
        printf '\n== installing:%s\n' "$1"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        # shellcheck disable=SC2086
        apt-get install -y -qq --no-install-recommends $1
        return 0
    fi
    echo "$2 needs these Debian packages:$1" >&2
    echo "Install them as root:" >&2
    echo "  $(oxr_apt_line "$1")" >&2
    return 1
}
