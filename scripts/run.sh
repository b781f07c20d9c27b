#!/usr/bin/env bash
# Sets up, builds and starts the program (with an image file given as argument, if any).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh" "$here/build"
exec "$here/build/bin/BrasvikV6" "$@"
