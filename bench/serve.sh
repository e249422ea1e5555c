#!/usr/bin/env bash
# `kdr serve` under load: a store of 1,000,000 records from 1,000 readers
# (bench/serve_store.cpp, made once and kept beside the programs), served by
# a kdr serve process to 20 clients at once on keep-alive connections
# (bench/serve_load.cpp), each asking round after round for the readers page,
# a reader's first page, a search of every reader's records and a deep page of
# that search. Prints
# Markdown: the server's own time per request (its Server-Timing header), the
# time the clients waited, the requests a second, and the server's peak
# memory and CPU. Then, with SERVE_HOLD (bench/serve_hold.cpp), a new
# visitor's wait for the readers page while 500 idle keep-alive connections,
# 100 clients sending their headers a byte a second and 100 open pages
# polling every 3 s hold the server, and its memory against its idle size
# (goals: p99 at most 100 ms, at most 100 MiB more), and the peak memory
# after eight 10,000-record JSON exports at once (with curl).
#
# Usage: bench/serve.sh KDR SERVE_STORE SERVE_LOAD [SERVE_HOLD]
#   KDR          the kdr program of an optimised build
#   SERVE_STORE  its kdr_serve_store, SERVE_LOAD its kdr_serve_load,
#   SERVE_HOLD   its kdr_serve_hold
# Knobs (environment): KDR_SERVE_CLIENTS (20), KDR_SERVE_ROUNDS (60),
#   KDR_SERVE_READERS (1000), KDR_SERVE_RECORDS (1000 a reader),
#   KDR_SERVE_DOWNLOADS (4 a reader), KDR_SERVE_PG (a postgresql:// URI of an
#   empty database: the same load against a store made there too).
# The SQLite store is kept as serve-store-*.sqlite beside SERVE_STORE, and
# reused while the schema version and the sizes are the same (making it took
# 8 to 24 s; a PostgreSQL one, made each time, 14 s). The load takes about
# 10 s a store.
set -euo pipefail

if [ $# -lt 3 ] || [ ! -x "$1" ] || [ ! -x "$2" ] || [ ! -x "$3" ]; then
    echo "usage: bench/serve.sh KDR SERVE_STORE SERVE_LOAD" >&2
    exit 2
fi
kdr=$(realpath "$1")
make_store=$(realpath "$2")
load=$(realpath "$3")
hold=
if [ $# -ge 4 ]; then
    [ -x "$4" ] || { echo "bench/serve.sh: $4 is no program" >&2; exit 2; }
    hold=$(realpath "$4")
fi
hold_seconds=${KDR_SERVE_HOLD_SECONDS:-20}
here=$(cd "$(dirname "$0")/.." && pwd)
clients=${KDR_SERVE_CLIENTS:-20}
rounds=${KDR_SERVE_ROUNDS:-60}
readers=${KDR_SERVE_READERS:-1000}
records=${KDR_SERVE_RECORDS:-1000}
downloads=${KDR_SERVE_DOWNLOADS:-4}

fail() {
    echo "bench/serve.sh: $*" >&2
    exit 1
}

schema=$(sed -n 's/^inline constexpr int kSchemaVersion = \([0-9]*\);/\1/p' "$here/store/store.hpp")
cache="$(dirname "$make_store")/serve-store-v$schema-$readers-$records-$downloads.sqlite"

work=$(mktemp -d /tmp/kdr-serve.XXXXXX)
server=
stop_server() {
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
        server=
    fi
}
trap 'stop_server; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM

# make_store_at TARGET TOOK: the store, made through the store's algorithm;
# the seconds it took go to the file TOOK.
make_store_at() {
    local target=$1 took=$2
    echo "Making the store $target ($readers readers x $records records)..." >&2
    "$make_store" "$target" "$readers" "$records" "$downloads" >"$work/make.out" ||
        fail "kdr_serve_store failed"
    sed -n 's/.* in \([0-9.]*\) s$/\1/p' "$work/make.out" >"$took"
}

# serve TARGET LABEL: the load against a kdr serve of TARGET; prints its table.
serve() {
    local target=$1 label=$2 port deadline=$((SECONDS + 120))
    : >"$work/serve.out"
    "$kdr" serve --db "$target" --listen 127.0.0.1:0 >"$work/serve.out" 2>"$work/serve.err" &
    server=$!
    until port=$(sed -n 's|^kdr serve: http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/serve.out") &&
        [ -n "$port" ]; do
        kill -0 "$server" 2>/dev/null || fail "kdr serve ended: $(cat "$work/serve.err")"
        [ $SECONDS -lt $deadline ] || fail "kdr serve did not start: $(cat "$work/serve.err")"
        sleep 0.05
    done
    "$load" 127.0.0.1 "$port" "$clients" "$rounds" >"$work/load.out" 2>"$work/load.err" ||
        fail "the load failed: $(cat "$work/load.err")"
    local status=/proc/$server/status
    local peak threads cpu
    peak=$(awk '/^VmHWM:/ { printf "%.0f MiB", $2 / 1024 }' "$status")
    threads=$(awk '/^Threads:/ { print $2 }' "$status")
    # utime and stime, fields 14 and 15 of stat, in clock ticks.
    cpu=$(awk -v hz="$(getconf CLK_TCK)" '{ printf "%.1f", ($14 + $15) / hz }' "/proc/$server/stat")
    local held=
    if [ -n "$hold" ]; then
        local before after
        before=$(awk '/^VmRSS:/ { print $2 }' "$status")
        "$hold" 127.0.0.1 "$port" "$hold_seconds" >"$work/hold.out" 2>"$work/hold.err" ||
            fail "the held server failed a visitor: $(cat "$work/hold.err")"
        after=$(awk '/^VmRSS:/ { print $2 }' "$status")
        held=$(awk -v b="$before" -v a="$after" 'BEGIN { printf "kdr serve while held: "\
            "memory %.0f MiB before, %.0f MiB at the end (%+.0f MiB).", b / 1024, a / 1024,
            (a - b) / 1024 }')
    fi
    # Eight 10,000-record JSON exports at once, each written as it is sent.
    local fetches=()
    for _ in 1 2 3 4 5 6 7 8; do
        curl -sf -o /dev/null "http://127.0.0.1:$port/export/records.json" & fetches+=($!)
    done
    wait "${fetches[@]}" || fail "an export failed"
    local exported
    exported=$(awk '/^VmHWM:/ { printf "%.0f MiB", $2 / 1024 }' "$status")
    stop_server
    echo "**$label**"
    echo
    head -n 8 "$work/load.out"
    echo
    echo "$(tail -n 1 "$work/load.out")."
    echo "kdr serve: peak memory (VmHWM) $peak, $threads threads, $cpu s of CPU" \
        "(loading the readers once included)."
    echo "Eight 10,000-record JSON exports at once: peak memory then $exported."
    echo
    if [ -n "$held" ]; then
        echo "A new visitor's readers page while the server is held ($hold_seconds s):"
        echo
        cat "$work/hold.out"
        echo
        echo "$held"
        echo
    fi
}

echo "kdr serve under load: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) processors," \
    "load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
echo
if [ -s "$cache" ] && [ -s "$cache.took" ]; then
    echo "SQLite store: $cache, reused (made in $(cat "$cache.took") s)."
else
    rm -f "$cache" "$cache.took"
    make_store_at "$cache" "$work/took"
    mv "$work/took" "$cache.took"
    echo "SQLite store: $cache, made in $(cat "$cache.took") s."
fi
echo
serve "$cache" "SQLite, $readers readers x $records records"
if [ -n "${KDR_SERVE_PG:-}" ]; then
    make_store_at "$KDR_SERVE_PG" "$work/pg.took"
    echo "PostgreSQL store made in $(cat "$work/pg.took") s."
    # As the server's autovacuum would in time: measured on a store whose
    # statistics are known, not while it gathers them.
    psql -q "$KDR_SERVE_PG" -c "VACUUM ANALYZE" || fail "VACUUM ANALYZE failed"
    # The million rows just written are still being flushed to the disk by
    # the server's checkpoints for a minute or more: done now, not during
    # the load.
    psql -q "$KDR_SERVE_PG" -c "CHECKPOINT" || fail "CHECKPOINT failed"
    echo
    serve "$KDR_SERVE_PG" "PostgreSQL, $readers readers x $records records"
fi
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
