#!/usr/bin/env bash
# Installs the Debian packages the project needs (when missing) and configures and builds
# one build directory.
#   scripts/setup.sh [BUILD_DIR] [extra cmake arguments...]
# Environment: SETUP_NO_BUILD=1 configures only. What is installed: SETUP_PROGRAMS_ONLY=1 only
# what the three programs need to build and run (the first run); SETUP_FOR_PACKAGE=1 that and
# what building the Debian package needs (scripts/package.sh); otherwise also the tools of the
# tests, the screenshot and the package check. SETUP_APT_LOCK_WAIT: how many seconds apt waits
# for another package manager to let go of its lock (default 120).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${1:-$here/build}"
shift || true

packages=(cmake ninja-build g++ qt6-base-dev qt6-base-dev-tools qt6-serialbus-dev
          libqt6serialbus6 qt6-qpa-plugins python3 ccache)
# Without their recommendations: devscripts would bring some ninety packages.
lean=()
if [[ -z ${SETUP_PROGRAMS_ONLY:-} ]]; then
    # cpack: dpkg-shlibdeps for the dependencies, file and strip for the programs.
    packages+=(dpkg-dev file binutils)
    if [[ -z ${SETUP_FOR_PACKAGE:-} ]]; then
        packages+=(clang libclang-rt-14-dev xvfb xauth imagemagick lintian shared-mime-info
                   xdg-utils libfile-mimeinfo-perl)
        lean+=(devscripts) # hardening-check
    fi
fi
missing() {
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
    done
}
mapfile -t missing_packages < <(missing "${packages[@]}")
mapfile -t missing_lean < <(missing ${lean[@]+"${lean[@]}"})

sudo=""
# Runs apt-get with its messages on stderr; when it fails, says why in words of its own and
# exits: the build would only fail later for want of a package.
apt_get() {
    local log status=0 holder
    log="$(mktemp)"
    $sudo env DEBIAN_FRONTEND=noninteractive apt-get -q \
        -o DPkg::Lock::Timeout="${SETUP_APT_LOCK_WAIT:-120}" \
        "$@" >&2 2>"$log" || status=$?
    cat "$log" >&2
    if ((status == 0)); then
        rm -f "$log"
        return 0
    fi
    if grep -qiE 'could not get lock|unable to (acquire|lock)' "$log"; then
        # "It is held by process 1234 (apt-get)"
        holder="$(grep -oE 'process [0-9]+( \([^)]*\))?' "$log" | head -n 1 || true)"
        echo "setup: another package manager${holder:+, $holder,} holds the package lock, so" \
             "apt-get $1 could not run. Wait until it has finished (or set SETUP_APT_LOCK_WAIT" \
             "to wait longer), then run this again." >&2
    else
        echo "setup: apt-get $1 failed (status $status; its messages are above)." >&2
    fi
    echo "setup: the packages still missing: ${missing_packages[*]} ${missing_lean[*]}" >&2
    rm -f "$log"
    exit 1
}

if ((${#missing_packages[@]} + ${#missing_lean[@]})); then
    echo "Installing: ${missing_packages[*]} ${missing_lean[*]}" >&2
    if [[ $(id -u) -ne 0 ]]; then
        if ! command -v sudo >/dev/null; then
            echo "Installing packages needs root and there is no sudo: as root, run" >&2
            echo "  apt-get install ${missing_packages[*]} ${missing_lean[*]}" >&2
            exit 1
        fi
        sudo="sudo"
    fi
    apt_get update -qq
    ((${#missing_packages[@]} == 0)) || apt_get install -y -qq "${missing_packages[@]}"
    ((${#missing_lean[@]} == 0)) || apt_get install -y -qq --no-install-recommends "${missing_lean[@]}"
fi

# ccache keeps the three builds of the test command (and rebuilds) short on a small machine.
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR="$here"
cmake -S "$here" -B "$build" -G Ninja "${launcher[@]}" "$@" >&2
if [[ -z "${SETUP_NO_BUILD:-}" ]]; then
    cmake --build "$build" >&2
fi
