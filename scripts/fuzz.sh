#!/usr/bin/env bash
# Builds the libFuzzer target of the image readers with clang (in build-fuzz) and runs it for
# a bounded time. Fails on any crash, hang, out-of-bounds access or undefined behaviour.
#   scripts/fuzz.sh [SECONDS]
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$here/build-fuzz"
seconds="${1:-60}"

CC=clang CXX=clang++ SETUP_NO_BUILD=1 "$here/scripts/setup.sh" "$build" \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DBRASVIK_FUZZ=ON -DBRASVIK_BUILD_BENCH=OFF
cmake --build "$build" --target fuzz_image_readers >&2

# New inputs go to a scratch corpus; the seeds in the repository stay as they are.
work="$build/fuzz/corpus"
artifacts="$build/fuzz/artifacts"
mkdir -p "$work" "$artifacts"
"$build/fuzz/fuzz_image_readers" "$work" "$here/tests/fuzz/corpus" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
    -dict="$here/tests/fuzz/h86.dict" -print_final_stats=1 -artifact_prefix="$artifacts/"
