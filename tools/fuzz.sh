#!/usr/bin/env bash
# The long random-input run, outside the test suite: a million inputs for each parser of outside
# text (KOVRA_FUZZ_INPUTS sets another number, KOVRA_FUZZ_SEED repeats a run). It builds the
# random-input test in a build folder (default build/standard) and runs it with a fresh home.
# usage: tools/fuzz.sh [build folder]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build/standard}")

[ -f "$build/CMakeCache.txt" ] || cmake -S "$top" -B "$build" -DGREEN_BRAND=OFF
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)" --target tst_fuzz
KOVRA_FUZZ_INPUTS=${KOVRA_FUZZ_INPUTS:-1000000} exec sh "$top/tests/support/fresh-home.sh" \
    "$build/tests/home/tst_fuzz-long" "$build/tests/bin/tst_fuzz/tst_fuzz"
