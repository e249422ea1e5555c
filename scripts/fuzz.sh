#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer with ASan+UBSan: the `fuzz` preset)
# and runs each for a bounded time, starting from the seed corpus in
# fuzz/corpus/<target>.
#
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
#          SECONDS  time for each target (default 30)
#          TARGET   some of the targets (default all of them)
#        scripts/fuzz.sh --seeds
#          rewrites fuzz/corpus from the reader simulator's answers
#
# Inputs found along the way collect in build/fuzz/corpus/<target>; the seeds
# in fuzz/corpus are never changed by a run. A finding (crash, sanitizer
# report, broken property, timeout) is kept in build/fuzz/findings/<target>/
# and makes the script fail; turn it into a unit test before fixing it.
# KDR_FUZZ_BUILD names another build directory (default build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."

targets_all=(fuzz_record_decoding fuzz_protocol fuzz_line_settings fuzz_variant fuzz_download fuzz_collect)
build=${KDR_FUZZ_BUILD:-build/fuzz}

scripts/ensure-deps.sh linux fuzz
cmake --preset fuzz -B "$build" >/dev/null

if [ "${1:-}" = "--seeds" ]; then
    cmake --build "$build" --target fuzz_make_seeds
    rm -rf fuzz/corpus
    "$build/fuzz/fuzz_make_seeds" fuzz/corpus
    exit 0
fi

seconds=${1:-30}
case "$seconds" in
    '' | *[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${targets_all[@]}")

cmake --build "$build" --target fuzzers -j "$(nproc)"

failed=()
summary=()
for target in "${targets[@]}"; do
    work="$build/corpus/$target"
    findings="$build/findings/$target"
    mkdir -p "$work" "$findings"
    log="$build/$target.log"
    echo "== $target: ${seconds} s" >&2
    status=0
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$findings/" "$work" "fuzz/corpus/$target" \
        >"$log" 2>&1 || status=$?
    # A target that fails on its first input prints no coverage line.
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2 || true)
    if [ "$status" -eq 0 ]; then
        summary+=("$(printf '%-22s %10s runs  coverage %5s  no finding' "$target" "${runs:-?}" "${cov:-?}")")
    else
        failed+=("$target")
        summary+=("$(printf '%-22s %10s runs  coverage %5s  FINDING (exit %s)' "$target" "${runs:-?}" "${cov:-?}" "$status")")
        grep -E 'ERROR|SUMMARY|property broken|runtime error' "$log" | head -5 >&2 || true
        echo "   reproduce: $build/fuzz/$target $findings/<file>   (log: $log)" >&2
    fi
done

printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzz.sh: findings in ${failed[*]}; see $build/findings/" >&2
    exit 1
fi
