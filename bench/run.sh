#!/usr/bin/env bash
# Runs every benchmark once and prints one table of the measures against
# their goals (Markdown, as docs/PERFORMANCE.md keeps it).
#
# Usage: bench/run.sh KDR_BENCH [benchmark options...]
#   KDR_BENCH  the kdr_bench program of an optimised build
#   options    passed to Google Benchmark, e.g. --benchmark_filter=decode
# The benchmarks' own report goes to KDR_BENCH's directory, kdr_bench.log.
set -euo pipefail

if [ $# -lt 1 ] || [ ! -x "$1" ]; then
    echo "usage: bench/run.sh KDR_BENCH [benchmark options...]" >&2
    exit 2
fi
program=$1
shift
log="$(dirname "$program")/kdr_bench.log"

echo "Running the benchmarks (about 30 s; the report goes to $log)..." >&2
"$program" --table "$@" >"$log" 2>&1 || {
    cat "$log" >&2
    echo "bench/run.sh: kdr_bench failed" >&2
    exit 1
}
# The table is what follows the machine line at the end of the report.
sed -n '/^Machine: /,$p' "$log"
