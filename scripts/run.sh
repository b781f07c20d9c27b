#!/usr/bin/env bash
# Sets up and builds, then runs the main job: a download into the simulated device
# (scripts/demo.sh; with an image file given as argument, that image instead of the sample).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh" "$here/build"
exec "$here/scripts/demo.sh" "$@"
