#!/usr/bin/env bash
# Builds the Debian package: configures a release build for the prefix /usr with Debian's
# hardening flags (in build-package unless given), builds the three programs and the packaged
# files, and runs cpack. Prints the path of the .deb on standard output.
#   scripts/package.sh [BUILD_DIR]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build-package}"
SETUP_FOR_PACKAGE=1 SETUP_NO_BUILD=1 "$here/scripts/setup.sh" "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX=/usr -DBRASVIK_BUILD_BENCH=OFF
cmake --build "$build" --target BrasvikV6 brasvik-cli brasvik-sim brasvik_packaging_files >&2
out="$build/package"
rm -rf "$out"
cpack --config "$build/CPackConfig.cmake" -B "$out" >&2
debs=("$out"/*.deb)
[[ -f ${debs[0]} ]] || { echo "package: no .deb in $out" >&2; exit 1; }
echo "${debs[0]}"
