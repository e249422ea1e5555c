#!/usr/bin/env bash
# Stations at scale: many collects at once against simulated readers on
# pseudo-terminals, one download through a device server on loopback, and
# many stations into one PostgreSQL server. Prints Markdown rows, as
# bench/run.sh does: measure, value, goal, met.
#
# Usage: bench/stations.sh KDR
#   KDR  the kdr program of an optimised build
# Knobs (environment): KDR_STATIONS_CRADLES (16), KDR_STATIONS_RECORDS (300),
#   KDR_STATIONS_MANY (64), KDR_STATIONS_MANY_RECORDS (1000).
# Needs sqlite3, psql, the PostgreSQL server programs and ser2net
# (scripts/ensure-deps.sh installs them). Takes about two minutes.
set -euo pipefail

if [ $# -lt 1 ] || [ ! -x "$1" ]; then
    echo "usage: bench/stations.sh KDR" >&2
    exit 2
fi
kdr=$(realpath "$1")
here=$(cd "$(dirname "$0")/.." && pwd)
cradles=${KDR_STATIONS_CRADLES:-16}
records=${KDR_STATIONS_RECORDS:-300}
many=${KDR_STATIONS_MANY:-64}
many_records=${KDR_STATIONS_MANY_RECORDS:-1000}

fail() {
    echo "bench/stations.sh: $*" >&2
    exit 1
}
for tool in sqlite3 psql awk; do
    command -v "$tool" >/dev/null || fail "$tool is missing (scripts/ensure-deps.sh installs it)"
done
ser2net=
for path in /usr/sbin/ser2net /usr/bin/ser2net /usr/local/sbin/ser2net; do
    if [ -x "$path" ]; then ser2net=$path; break; fi
done
[ -n "$ser2net" ] || fail "ser2net is missing (scripts/ensure-deps.sh installs it)"

work=$(mktemp -d /tmp/kdr-stations.XXXXXX)
children=()   # the simulated readers and ser2net
runs=()       # the timed collects under way
cleanup() {
    local pid
    for pid in "${runs[@]}"; do
        pkill -P "$pid" 2>/dev/null || true
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${children[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${children[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    bash "$here/tests/store/pg_server.sh" stop "$work/pg" || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- helpers -----------------------------------------------------------------

# start_reader ID RECORDS [--fast]: a simulated reader; prints its device.
start_reader() {
    local id=$1 count=$2
    shift 2
    "$kdr" simulate --id "$id" --records "$count" "$@" --path-file "$work/$id.path" \
        >/dev/null 2>"$work/$id.sim.log" &
    children+=($!)
}
# wait_readers ID...: until every reader named has written its device path.
wait_readers() {
    local id deadline=$((SECONDS + 30))
    for id in "$@"; do
        while [ ! -s "$work/$id.path" ]; do
            [ $SECONDS -lt $deadline ] || fail "the simulated reader $id did not start: $(cat "$work/$id.sim.log")"
            sleep 0.05
        done
    done
}
device() { cat "$work/$1.path"; }
# stop_readers: every simulated reader started so far.
stop_readers() {
    local pid
    for pid in "${children[@]}"; do kill "$pid" 2>/dev/null || true; done
    for pid in "${children[@]}"; do wait "$pid" 2>/dev/null || true; done
    children=()
}

# timed NAME COMMAND...: runs the command in a subshell of its own, which
# then writes NAME.rc, NAME.wall (seconds) and NAME.cpu (user + system
# seconds of the command, from the shell's `times`, to the millisecond).
timed() {
    local name=$1
    shift
    (
        start=$EPOCHREALTIME
        rc=0
        "$@" >"$work/$name.out" 2>"$work/$name.err" || rc=$?
        end=$EPOCHREALTIME
        echo "$rc" >"$work/$name.rc"
        echo "$start $end" | awk '{ printf "%.3f\n", $2 - $1 }' >"$work/$name.wall"
        # Not `times | awk`: a pipeline's side is a new process, with no
        # children of its own.
        times >"$work/$name.times"
        awk 'NR == 2 {
            n = split($0, f, /[ \t]+/); total = 0
            for (i = 1; i <= n; i++) { split(f[i], p, /[ms]/); total += p[1] * 60 + p[2] }
            printf "%.3f\n", total }' "$work/$name.times" >"$work/$name.cpu"
    )
}
check_rc() {
    local name
    for name in "$@"; do
        [ "$(cat "$work/$name.rc")" = 0 ] || fail "$name failed: $(cat "$work/$name.err" "$work/$name.out")"
    done
}
# collect_all PREFIX DB ID...: the readers' collects all at once into DB,
# each timed as PREFIX-ID (their names in `names`); `begin` and `end` hold the
# set's clock. The devices are read before the clock starts: the set's time
# is the collects', not the script's.
collect_all() {
    local prefix=$1 db=$2 id
    shift 2
    declare -A paths=()
    for id in "$@"; do paths[$id]=$(device "$id"); done
    names=()
    runs=()
    begin=$(now)
    for id in "$@"; do
        timed "$prefix-$id" "$kdr" collect --port "${paths[$id]}" --db "$db" --erase -q &
        runs+=($!)
        names+=("$prefix-$id")
    done
    wait "${runs[@]}"
    end=$(now)
    runs=()
    check_rc "${names[@]}"
}

# sum_of / max_of SUFFIX NAME...: over the NAME.SUFFIX files of timed runs.
sum_of() { local suffix=$1 name; shift; for name in "$@"; do cat "$work/$name.$suffix"; done | awk '{ s += $1 } END { printf "%.3f", s }'; }
max_of() { local suffix=$1 name; shift; for name in "$@"; do cat "$work/$name.$suffix"; done | awk 'NR == 1 || $1 > m { m = $1 } END { printf "%.3f", m }'; }
min_of() { local suffix=$1 name; shift; for name in "$@"; do cat "$work/$name.$suffix"; done | awk 'NR == 1 || $1 < m { m = $1 } END { printf "%.3f", m }'; }
now() { echo "$EPOCHREALTIME"; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
percent() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", 100 * a / b }'; }
at_most() { awk -v a="$1" -v b="$2" 'BEGIN { print (a <= b ? "yes" : "**no**") }'; }
row() { printf '| %s | %s | %s | %s |\n' "$1" "$2" "$3" "$4"; }

# The records each reader holds once stored, one line a reader:
# "ID rows distinct-records downloads", sorted by ID.
sqlite_counts() {
    sqlite3 -separator ' ' "$1" "
        SELECT trim(CAST(r.machine_id AS TEXT)),
               (SELECT count(*) FROM records x WHERE x.reader_id = r.id),
               (SELECT count(DISTINCT coalesce(x.stamp, '') || '|' || x.text_utf8)
                  FROM records x WHERE x.reader_id = r.id),
               (SELECT count(*) FROM downloads d WHERE d.reader_id = r.id)
        FROM readers r ORDER BY 1"
}
pg_counts() {
    psql -X -q -A -t -F ' ' -v ON_ERROR_STOP=1 "$1" -c "
        SELECT trim(convert_from(r.machine_id, 'UTF8')),
               (SELECT count(*) FROM records x WHERE x.reader_id = r.id),
               (SELECT count(DISTINCT coalesce(x.stamp::text, '') || '|' || x.text_utf8)
                  FROM records x WHERE x.reader_id = r.id),
               (SELECT count(*) FROM downloads d WHERE d.reader_id = r.id)
        FROM readers r ORDER BY 1"
}
# expected_counts RECORDS ID...: what the counts must read.
expected_counts() {
    local count=$1 id
    shift
    for id in "$@"; do echo "$id $count $count 1"; done | sort
}
# intact NAME ACTUAL_FILE EXPECTED_FILE: "yes", or "**no**" and what differs.
intact() {
    if diff -q "$2" "$3" >/dev/null; then
        echo "yes"
    else
        echo "--- $1: stored (ID rows distinct downloads) against expected:" >&2
        diff "$3" "$2" | head -20 >&2 || true
        echo "**no**"
    fi
}
pg_database() {
    psql -X -q -v ON_ERROR_STOP=1 "$pg_url" -c "CREATE DATABASE $1" >/dev/null
    echo "${pg_url/\/postgres\?//$1?}"
}

# --- the PostgreSQL server: flushing to the disk, room for every station ----
KDR_PG_FSYNC=on KDR_PG_MAX_CONNECTIONS=$((many + 20)) \
    bash "$here/tests/store/pg_server.sh" start "$work/pg" 2>"$work/pg.log" \
    || fail "the PostgreSQL server did not start: $(cat "$work/pg.log")"
[ -f "$work/pg/url" ] || fail "$(cat "$work/pg/missing" 2>/dev/null || echo "no PostgreSQL server")"
pg_url=$(cat "$work/pg/url")

echo "Stations at scale: $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) processors," \
    "load average at start $(cut -d' ' -f1-3 /proc/loadavg)"
echo
row "Measure" "Value" "Goal" "Met"
echo "|---|---|---|---|"

# --- 1. sixteen cradles at once, paced at the line rate ---------------------
ids=()
for i in $(seq 1 "$cradles"); do ids+=("$(printf 'C%03d' "$i")"); done
expected_counts "$records" "${ids[@]}" >"$work/cradles.expected"

for store in sqlite postgresql; do
    if [ "$store" = sqlite ]; then
        alone_db="$work/alone.sqlite"
        set_db="$work/cradles.sqlite"
        label=SQLite
    else
        alone_db=$(pg_database alone)
        set_db=$(pg_database cradles)
        label=PostgreSQL
    fi
    # One collect alone, the same reader as each of the set.
    start_reader ALONE "$records"
    wait_readers ALONE
    timed "alone-$store" "$kdr" collect --port "$(device ALONE)" --db "$alone_db" --erase -q
    check_rc "alone-$store"
    stop_readers
    rm -f "$work/ALONE.path"

    for id in "${ids[@]}"; do start_reader "$id" "$records"; done
    wait_readers "${ids[@]}"
    collect_all "$store" "$set_db" "${ids[@]}"
    stop_readers
    for id in "${ids[@]}"; do rm -f "$work/$id.path"; done

    set_wall=$(elapsed "$begin" "$end")
    alone_wall=$(cat "$work/alone-$store.wall")
    cpu=$(sum_of cpu "${names[@]}")
    slowest=$(max_of wall "${names[@]}")
    fastest=$(min_of wall "${names[@]}")
    if [ "$store" = sqlite ]; then
        sqlite_counts "$set_db" >"$work/$store.counts"
    else
        pg_counts "$set_db" >"$work/$store.counts"
    fi
    kept=$(intact "$label" "$work/$store.counts" "$work/cradles.expected")
    r=$(ratio "$set_wall" "$alone_wall")
    row "$cradles paced collects at once ($records records each, $label): wall of the set / one alone" \
        "${set_wall} s / ${alone_wall} s = ${r} (each of the set ${fastest} to ${slowest} s)" "at most 1.05" "$(at_most "$r" 1.05)"
    p=$(percent "$cpu" "$set_wall")
    row "$cradles paced collects ($label): CPU of all collectors / wall" \
        "${cpu} s / ${set_wall} s = ${p} % of one core (one alone: $(cat "$work/alone-$store.cpu") s)" "at most 2 %" "$(at_most "$p" 2)"
    row "$cradles paced collects ($label): each reader's records stored once" \
        "$(awk '{ n += $2 } END { print n + 0 }' "$work/$store.counts") rows of $((cradles * records)) expected, $(wc -l <"$work/$store.counts") readers" \
        "none lost or doubled" "$kept"
done

# --- 2. one paced download through ser2net on loopback -----------------------
start_reader NET "$records"
wait_readers NET
net_device=$(device NET)
port=
for _ in $(seq 1 20); do
    candidate=$((20000 + RANDOM % 40000))
    hex=$(printf '0100007F:%04X' "$candidate")
    if ! awk -v want="$hex" '$2 == want { found = 1 } END { exit !found }' /proc/net/tcp; then
        port=$candidate
        break
    fi
done
[ -n "$port" ] || fail "no free loopback port found"
cat >"$work/ser2net.yaml" <<EOF
%YAML 1.1
---
connection: &reader
  accepter: tcp,127.0.0.1,$port
  connector: serialdev,$net_device,19200n81,local
EOF
# -n: in the foreground; -u: no lock files, which need root.
"$ser2net" -n -u -c "$work/ser2net.yaml" >"$work/ser2net.log" 2>&1 &
ser2net_pid=$!
children+=("$ser2net_pid")
hex=$(printf '0100007F:%04X' "$port")
deadline=$((SECONDS + 10))
until awk -v want="$hex" '$2 == want && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp; do
    kill -0 "$ser2net_pid" 2>/dev/null || fail "ser2net stopped: $(cat "$work/ser2net.log")"
    [ $SECONDS -lt $deadline ] || fail "ser2net did not listen on $port: $(cat "$work/ser2net.log")"
    sleep 0.05
done
ticks=$(getconf CLK_TCK)
ser2net_cpu() { awk -v t="$ticks" '{ printf "%.3f", ($14 + $15) / t }' "/proc/$ser2net_pid/stat"; }
# Twice each, alternately, the best of each kept: the load of the machine
# comes and goes.
ser2net_used=0
for round in 1 2; do
    timed "direct-$round" "$kdr" download --port "$net_device" -q
    before=$(ser2net_cpu)
    timed "net-$round" "$kdr" download --port "tcp://127.0.0.1:$port" -q
    after=$(ser2net_cpu)
    ser2net_used=$(awk -v s="$ser2net_used" -v a="$before" -v b="$after" 'BEGIN { printf "%.3f", s + b - a }')
    check_rc "direct-$round" "net-$round"
    cmp -s "$work/direct-$round.out" "$work/net-$round.out" \
        || fail "the download through ser2net differs from the direct one"
done
best() { local a b; a=$(cat "$work/$1-1.wall"); b=$(cat "$work/$1-2.wall"); awk -v a="$a" -v b="$b" 'BEGIN { print (a <= b ? 1 : 2) }'; }
d=$(best direct)
n=$(best net)
direct_wall=$(cat "$work/direct-$d.wall")
net_wall=$(cat "$work/net-$n.wall")
net_cpu=$(cat "$work/net-$n.cpu")
r=$(ratio "$net_wall" "$direct_wall")
row "paced download of $records records through ser2net on loopback / directly on the pty" \
    "${net_wall} s / ${direct_wall} s = ${r}" "at most 1.02" "$(at_most "$r" 1.02)"
p=$(percent "$net_cpu" "$net_wall")
net_wall_total=$(awk -v a="$(cat "$work/net-1.wall")" -v b="$(cat "$work/net-2.wall")" 'BEGIN { printf "%.3f", a + b }')
row "download through ser2net: kdr CPU / wall (ser2net's own)" \
    "${net_cpu} s / ${net_wall} s = ${p} % ($(percent "$ser2net_used" "$net_wall_total") %)" "at most 1 %" "$(at_most "$p" 1)"
stop_readers

# --- 3. many stations into one PostgreSQL server ----------------------------
many_ids=()
for i in $(seq 1 "$many"); do many_ids+=("$(printf 'M%03d' "$i")"); done
expected_counts "$many_records" "${many_ids[@]}" >"$work/many.expected"
many_db=$(pg_database many)
for id in "${many_ids[@]}"; do start_reader "$id" "$many_records" --fast; done
wait_readers "${many_ids[@]}"
collect_all many "$many_db" "${many_ids[@]}"
stop_readers
many_wall=$(elapsed "$begin" "$end")
pg_counts "$many_db" >"$work/many.counts"
kept=$(intact "many stations" "$work/many.counts" "$work/many.expected")
many_cpu=$(sum_of cpu "${names[@]}")
row "$many stations at once, $many_records records each (fast readers), into one PostgreSQL server: total time (CPU of the collectors)" \
    "${many_wall} s (${many_cpu} s)" "" ""
row "$many stations: each reader's records stored once" \
    "$(awk '{ n += $2 } END { print n + 0 }' "$work/many.counts") rows of $((many * many_records)) expected, $(wc -l <"$work/many.counts") readers" \
    "none lost or doubled" "$kept"

echo
echo "Load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
