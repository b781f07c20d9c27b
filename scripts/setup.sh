#!/usr/bin/env bash
# Installs the Debian packages the project needs (when missing) and configures and builds
# one build directory.
#   scripts/setup.sh [BUILD_DIR] [extra cmake arguments...]
# Environment: SETUP_NO_BUILD=1 configures only; SETUP_PROGRAMS_ONLY=1 installs only what the
# three programs need to build and run (the first run), not the tools of the tests, the
# screenshot and the package check.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build}"
shift || true

packages=(cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools qt6-serialbus-dev
          libqt6serialbus6 qt6-qpa-plugins python3 ccache)
if [[ -z ${SETUP_PROGRAMS_ONLY:-} ]]; then
    packages+=(clang libclang-rt-14-dev binutils xvfb xauth imagemagick dpkg-dev file lintian
               shared-mime-info xdg-utils libfile-mimeinfo-perl)
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}" >&2
    sudo=""
    if [[ $(id -u) -ne 0 ]]; then
        if ! command -v sudo >/dev/null; then
            echo "Installing packages needs root and there is no sudo: as root, run" >&2
            echo "  apt-get install ${missing[*]}" >&2
            exit 1
        fi
        sudo="sudo"
    fi
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
