#!/usr/bin/env bash
# Builds the optimised benchmarks and prints the performance table.
# Usage: scripts/bench.sh [benchmark options...]   (e.g. --benchmark_filter=decode)
# Not part of the test command: a run takes about five minutes and wants a quiet
# machine. The table's goals are explained in docs/PERFORMANCE.md.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh linux
cmake --preset release >/dev/null
cmake --build --preset release --target kdr_bench kdr kdr_python kdr_serve_store kdr_serve_load \
    kdr_serve_hold -j "$(nproc)"
# The store's PostgreSQL rows want a server: one of the bench's own, started
# as the tests start theirs, but flushing to the disk as a real one does.
pg_state=$(mktemp -d)
trap 'bash tests/store/pg_server.sh stop "$pg_state/pg"; rm -rf "$pg_state"' EXIT
KDR_PG_FSYNC=on bash tests/store/pg_server.sh start "$pg_state/pg"
if [ -f "$pg_state/pg/url" ]; then
    KDR_BENCH_PG=$(cat "$pg_state/pg/url")
    export KDR_BENCH_PG
fi
bench/run.sh build/release/bench/kdr_bench "$@"
echo
# Stations at scale: whole kdr processes against simulated readers, with a
# PostgreSQL server and a ser2net of the script's own (about two minutes).
bench/stations.sh build/release/cli/kdr
# The Python module against the command: one 10,000-record download each.
bench/python.sh build/release/cli/kdr build/release/python
echo
# The commands against the line's own limit, on a pty and through a slow
# network (about two minutes).
bench/line.sh build/release/cli/kdr
echo
# kdr serve with 1,000,000 records and 20 clients, on SQLite (its store kept
# under build/release once made) and on a database of the bench's PostgreSQL
# server (made each time, about a minute).
if [ -n "${KDR_BENCH_PG:-}" ] && psql -q "$KDR_BENCH_PG" -c "CREATE DATABASE kdr_serve"; then
    KDR_SERVE_PG=${KDR_BENCH_PG/\/postgres\?//kdr_serve?}
    export KDR_SERVE_PG
fi
bench/serve.sh build/release/cli/kdr build/release/bench/kdr_serve_store \
    build/release/bench/kdr_serve_load build/release/bench/kdr_serve_hold
echo
echo "Command: scripts/bench.sh $*"
