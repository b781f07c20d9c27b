#!/usr/bin/env bash
# Builds and runs every test suite: a plain build, the same suites under
# AddressSanitizer+UndefinedBehaviorSanitizer, the threaded suites under ThreadSanitizer,
# and a bounded fuzzing run of the image readers.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$here"
status=0

run_ctest() {
    local dir="$1"; shift
    ctest --test-dir "$dir" --output-on-failure -j2 "$@" || status=1
}

echo "== layer check" >&2
python3 scripts/check-layers.py || status=1

echo "== plain build" >&2
scripts/setup.sh "$here/build"
run_ctest "$here/build"

echo "== Debian package (release build in build-package)" >&2
scripts/package-check.sh || status=1

echo "== AddressSanitizer + UndefinedBehaviorSanitizer" >&2
scripts/setup.sh "$here/build-asan" -DBRASVIK_SANITIZE=address -DBRASVIK_BUILD_BENCH=OFF
run_ctest "$here/build-asan"

echo "== ThreadSanitizer (threaded suites)" >&2
# Only the suites labelled "threaded" (and the programs they start) are built with TSan.
SETUP_NO_BUILD=1 scripts/setup.sh "$here/build-tsan" -DBRASVIK_SANITIZE=thread -DBRASVIK_BUILD_BENCH=OFF
mapfile -t tsan_targets < <(ctest --test-dir "$here/build-tsan" -N -L threaded | sed -n 's/^ *Test *#[0-9]*: *//p')
if ((${#tsan_targets[@]})); then
    helpers=()
    for t in brasvik-sim brasvik-cli BrasvikV6; do
        ninja -C "$here/build-tsan" -t targets all | grep -q "^$t:" && helpers+=("$t")
    done
    cmake --build "$here/build-tsan" --target "${tsan_targets[@]}" "${helpers[@]}" >&2
    run_ctest "$here/build-tsan" -L threaded
fi

if [[ -x scripts/fuzz.sh ]]; then
    echo "== fuzzing" >&2
    scripts/fuzz.sh || status=1
fi

exit $status
