#!/usr/bin/env bash
# Builds and runs every test: the debug build, then the same tests under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh linux
jobs=$(nproc)

for preset in dev asan; do
    echo "== $preset: configure and build ==" >&2
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    echo "== $preset: tests ==" >&2
    ctest --preset "$preset" -j "$jobs"
done
echo "All tests passed." >&2
