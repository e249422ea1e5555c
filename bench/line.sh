#!/usr/bin/env bash
# The commands against the line's own limit: whole kdr processes against the
# reader simulator on a pseudo-terminal, paced at 19200 baud, then through
# ser2net behind scripts/delay-relay.py. Prints Markdown tables.
#
# The line limit of a command is every byte it exchanged (counted from a
# --trace run of the same command) at 10 bits a byte at 19200 baud, plus the
# reader's 2 ms reply time for each request: what the command would take if
# it waited for nothing but the line.
#
# Usage: bench/line.sh KDR
#   KDR  the kdr program of an optimised build
# Knobs (environment): KDR_LINE_FAST_RUNS (5), KDR_RELAY_DELAY_MS (150).
# Needs ser2net and python3 for the network rows (skipped without ser2net).
# Takes about two minutes.
set -euo pipefail

if [ $# -lt 1 ] || [ ! -x "$1" ]; then
    echo "usage: bench/line.sh KDR" >&2
    exit 2
fi
kdr=$(realpath "$1")
here=$(cd "$(dirname "$0")/.." && pwd)
fast_runs=${KDR_LINE_FAST_RUNS:-5}
password=1234
. "$here/scripts/lib/timed.sh"

timed_dir=$(mktemp -d /tmp/kdr-line.XXXXXX)
work=$timed_dir
simulator=
stop_reader() {
    if [ -n "$simulator" ]; then
        kill "$simulator" 2>/dev/null || true
        wait "$simulator" 2>/dev/null || true
        simulator=
    fi
}
trap 'stop_reader; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# start_reader RECORDS [simulate options...]: a fresh simulated reader; sets
# `device`.
start_reader() {
    local count=$1 deadline=$((SECONDS + 60))
    shift
    stop_reader
    rm -f "$work/sim.path"
    "$kdr" simulate --records "$count" --password "$password" --clock "2020-01-01 00:00:00" \
        --path-file "$work/sim.path" "$@" >/dev/null 2>"$work/sim.log" &
    simulator=$!
    until [ -s "$work/sim.path" ]; do
        [ $SECONDS -lt $deadline ] || { echo "bench/line.sh: the simulator did not start: $(cat "$work/sim.log")" >&2; exit 1; }
        sleep 0.05
    done
    device=$(cat "$work/sim.path")
}
# on NAME COMMAND [options...]: kdr COMMAND on the reader, timed as NAME.
on() {
    local name=$1 command=$2
    shift 2
    timed "$name" "$kdr" "$command" --port "$device" --password "$password" -q "$@"
    [ "$(cat "$work/$name.rc")" = 0 ] ||
        { echo "bench/line.sh: $name failed: $(cat "$work/$name.err")" >&2; exit 1; }
}
# line_limit NAME: from NAME's trace, "BYTES REQUESTS SECONDS".
line_limit() {
    awk '/^\[[^]]*\] [<>] / { on = 1; if ($0 ~ /^\[[^]]*\] > /) requests++
                              line = $0; sub(/^\[[^]]*\] [<>] /, "", line) }
         /^\[/ && !/^\[[^]]*\] [<>] / { on = 0; next }
         /^ / { line = $0 }
         on { sub(/ +\|.*$/, "", line); bytes += split(line, f, " ") }
         END { printf "%d %d %.3f\n", bytes, requests, bytes * 10 / 19200 + requests * 0.002 }' \
        "$work/$1.err"
}
wall() { cat "$work/$1.wall"; }
share() { awk -v c="$(cat "$work/$1.cpu")" -v w="$(cat "$work/$1.wall")" 'BEGIN { printf "%.3f s (%.2f %%)", c, 100 * c / w }'; }
row() { printf '| %s | %s | %s | %s | %s |\n' "$@"; }

echo "The line's own limit: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) processors," \
    "load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
echo
row "Command (paced simulator on a pty, 19200 baud)" "Wall" "Line limit" "Wall / limit" "kdr CPU (share of wall)"
echo "|---|---|---|---|---|"

# Downloads: timed without the trace, whose writing is not the command's
# cost; the trace run only counts the bytes.
for count in 25 600; do
    start_reader "$count"
    on "download-$count" download --format csv -o /dev/null
    on "trace-$count" download --format csv -o /dev/null --trace
    read -r bytes requests limit < <(line_limit "trace-$count")
    row "download, $count records ($bytes bytes, $requests requests)" "$(wall "download-$count") s" "$limit s" \
        "$(awk -v w="$(wall "download-$count")" -v l="$limit" 'BEGIN { printf "%.2f", w / l }')" \
        "$(share "download-$count")"
done

start_reader 25
on open open
on sync-time sync-time
on erase erase --yes
start_reader 25
on collect collect --erase --db "$work/store.sqlite"
for name in open sync-time erase collect; do
    label=$name
    [ "$name" = erase ] && label="erase --yes"
    [ "$name" = collect ] && label="collect --erase, 25 records, new SQLite store"
    row "$label" "$(wall "$name") s" "" "" "$(share "$name")"
done

start_reader 99999 --fast
names=()
for run in $(seq 1 "$fast_runs"); do
    on "fast-$run" download --raw -o /dev/null
    names+=("fast-$run")
done
times=$(for name in "${names[@]}"; do wall "$name"; done | paste -sd ' ')
cpus=$(for name in "${names[@]}"; do cat "$work/$name.cpu"; done | paste -sd ' ')
row "download, 99,999 records, --fast simulator, $fast_runs runs" "$times s" "" \
    "slowest / fastest $(echo "$times" | awk '{ lo = hi = $1; for (i = 2; i <= NF; i++) { if ($i < lo) lo = $i; if ($i > hi) hi = $i } printf "%.2f", hi / lo }')" \
    "$cpus s"
stop_reader

echo
echo "Through ser2net behind the delay relay, ${KDR_RELAY_DELAY_MS:-150} ms each way (limit: the pty's time + 10 round trips + 0.3 s):"
echo
# The network test's own table; its failures are this table's findings.
bash "$here/tests/e2e/network_latency_test.sh" "$kdr" | grep -v '^FAIL' || true
echo
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
