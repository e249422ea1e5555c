#!/usr/bin/env bash
# Builds the optimised benchmarks and prints the performance table.
# Usage: scripts/bench.sh [benchmark options...]   (e.g. --benchmark_filter=decode)
# Not part of the test command: a run takes about a minute and wants a quiet
# machine. The table's goals are explained in docs/PERFORMANCE.md.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh linux
cmake --preset release >/dev/null
cmake --build --preset release --target kdr_bench -j "$(nproc)"
bench/run.sh build/release/bench/kdr_bench "$@"
echo
echo "Command: scripts/bench.sh $*"
