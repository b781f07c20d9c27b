#!/usr/bin/env bash
# Installs the Debian packages the project needs (when missing) and configures and builds
# one build directory.
#   scripts/setup.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build}"
shift || true

packages=(cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools qt6-serialbus-dev
          libqt6serialbus6 python3 clang libclang-rt-14-dev binutils xvfb xauth imagemagick ccache
          dpkg-dev file lintian shared-mime-info xdg-utils libfile-mimeinfo-perl)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}" >&2
    sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >&2
fi

# ccache keeps the three builds of the test command (and rebuilds) short on a small machine.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR="$here"
cmake -S "$here" -B "$build" -G Ninja "${launcher[@]}" "$@" >&2
if [[ -z "${SETUP_NO_BUILD:-}" ]]; then
    cmake --build "$build" >&2
fi
