#!/usr/bin/env bash
# Sets up and builds the three programs the demo runs (BrasvikV6, brasvik-cli, brasvik-sim),
# then runs the main job: a download into the simulated device (scripts/demo.sh; with an image
# file given as argument, that image instead of the sample). The tests and benchmarks are left
# to scripts/test.sh.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SETUP_PROGRAMS_ONLY=1 SETUP_NO_BUILD=1 "$here/scripts/setup.sh" "$here/build"
cmake --build "$here/build" --target BrasvikV6 brasvik-cli brasvik-sim >&2
exec "$here/scripts/demo.sh" "$@"
