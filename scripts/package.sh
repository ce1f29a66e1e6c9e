#!/bin/sh
# make package: the Debian packages liboxrhttp1 and liboxrhttp-dev (package
# preset: the library alone, installed under /usr) and one zip per Windows
# architecture, from the win32 and win64 builds, all in build/packages/.
# As root, missing Debian packages are installed first (after apt-get update).
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/packages.sh

# shellcheck disable=SC2086
missing=$(oxr_missing_packages $OXR_PACKAGE_NEEDS)
oxr_install_packages "$missing" "make package" || exit 1

out=build/packages
rm -rf "$out"
cmake --preset package >/dev/null
cmake --build --preset package
cpack --config build/package/CPackConfig.cmake -B "$out"
for arch in win32 win64; do
    cmake --preset $arch >/dev/null
    cmake --build --preset $arch --target oxrhttp
    cpack --config build/$arch/CPackConfig.cmake -B "$out"
done
rm -rf "$out/_CPack_Packages"
echo
ls -l "$out"
