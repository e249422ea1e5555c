#!/usr/bin/env bash
# The command over a slow network: the paced simulator behind a real ser2net,
# behind scripts/delay-relay.py adding a delay each way. Each command must
# succeed through tcp:// and rfc2217:// and take no longer than on the
# pseudo-terminal plus ten round trips. Prints one Markdown row a run:
# command, port, wall, limit, met, processor time of kdr.
#
# Usage: network_latency_test.sh KDR
# Knobs (environment):
#   KDR_RELAY_DELAY_MS    the delay each way (default 150: a round trip of 0.3 s;
#                         0 checks the harness itself)
#   KDR_LATENCY_RECORDS   the records the reader holds (default 25)
#   KDR_LATENCY_SLACK_MS  added to every limit (default 300: the engine's
#                         silence wait, which one run may meet and another not)
# Exit 77 (skipped) where ser2net is not installed.
set -uo pipefail

if [ $# -ne 1 ] || [ ! -x "$1" ]; then
    echo "usage: network_latency_test.sh KDR" >&2
    exit 2
fi
kdr=$(realpath "$1")
here=$(cd "$(dirname "$0")/../.." && pwd)
relay=$here/scripts/delay-relay.py
. "$here/scripts/lib/timed.sh"
delay_ms=${KDR_RELAY_DELAY_MS:-150}
records=${KDR_LATENCY_RECORDS:-25}
slack_ms=${KDR_LATENCY_SLACK_MS:-300}
password=1234

ser2net=
for path in /usr/sbin/ser2net /usr/bin/ser2net /usr/local/sbin/ser2net; do
    if [ -x "$path" ]; then ser2net=$path; break; fi
done
[ -n "$ser2net" ] || { echo "SKIP: ser2net is not installed (scripts/ensure-deps.sh installs it)"; exit 77; }
# The interpreter itself, not a wrapper that would outlive a kill of it.
python=$(python3 -c 'import sys; print(sys.executable)') ||
    { echo "SKIP: python3, which runs the relay, is not installed"; exit 77; }

work=$(mktemp -d /tmp/kdr-latency.XXXXXX)
timed_dir=$work
timed_limit=120
children=()
stop_children() {
    local pid
    for pid in "${children[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${children[@]}"; do wait "$pid" 2>/dev/null; done
    children=()
}
trap 'stop_children; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }

# until_listening PORT PID: until something listens on the loopback PORT, or
# PID (the server meant to) has stopped.
until_listening() {
    local hex deadline=$((SECONDS + 10))
    hex=$(printf '0100007F:%04X' "$1")
    until awk -v want="$hex" '$2 == want && $4 == "0A" { found = 1 } END { exit !found }' /proc/net/tcp; do
        kill -0 "$2" 2>/dev/null && [ $SECONDS -lt $deadline ] || return 1
        sleep 0.05
    done
}

# start_port SCHEME: a fresh reader (its clock years behind, for sync-time to
# set) and, for tcp and rfc2217, ser2net and the relay in front of it; sets
# `port` to the word for kdr --port.
start_port() {
    local scheme=$1 device server relay_port accepter=
    rm -f "$work/sim.path"
    "$kdr" simulate --records "$records" --password "$password" --clock "2020-01-01 00:00:00" \
        --path-file "$work/sim.path" >/dev/null 2>"$work/sim.log" &
    children+=($!)
    local deadline=$((SECONDS + 10))
    until [ -s "$work/sim.path" ]; do
        [ $SECONDS -lt $deadline ] || { echo "the simulator did not start: $(cat "$work/sim.log")"; exit 1; }
        sleep 0.05
    done
    device=$(cat "$work/sim.path")
    if [ "$scheme" = pty ]; then
        port=$device
        return
    fi
    server=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    [ "$scheme" = rfc2217 ] && accepter='telnet(rfc2217),'
    printf '%%YAML 1.1\n---\nconnection: &reader\n  accepter: %stcp,127.0.0.1,%s\n  connector: serialdev,%s,19200n81,local\n' \
        "$accepter" "$server" "$device" >"$work/ser2net.yaml"
    # -n: in the foreground; -u: no lock files, which need root.
    "$ser2net" -n -u -c "$work/ser2net.yaml" >"$work/ser2net.log" 2>&1 &
    children+=($!)
    until_listening "$server" $! || { echo "ser2net did not start: $(cat "$work/ser2net.log")"; exit 1; }
    coproc relaying { exec "$python" "$relay" --delay-ms "$delay_ms" 0 "127.0.0.1:$server"; }
    children+=("$relaying_PID")
    read -r -t 10 relay_port <&"${relaying[0]}" || { echo "the relay did not start"; exit 1; }
    port="$scheme://127.0.0.1:$relay_port"
}

commands=(open sync-time download collect)
run() {  # run SCHEME COMMAND: the command against the current port, timed
    local args=("$2" --port "$port" --password "$password" -q)
    [ "$2" = download ] && args+=(--format csv)
    [ "$2" = collect ] && args+=(--erase --db "$work/$1.sqlite")
    timed "$1-$2" "$kdr" "${args[@]}"
}

echo "| Command | Port | Wall | Limit | Met | kdr CPU |"
echo "|---|---|---|---|---|---|"
for scheme in pty tcp rfc2217; do
    start_port "$scheme"
    for command in "${commands[@]}"; do
        run "$scheme" "$command"
        name=$scheme-$command
        wall=$(cat "$work/$name.wall")
        cpu=$(cat "$work/$name.cpu")
        if [ "$scheme" = pty ]; then
            echo "| $command | pty | $wall s |  |  | $cpu s |"
            [ "$(cat "$work/$name.rc")" = 0 ] || fail "$name: $(cat "$work/$name.err")"
            continue
        fi
        limit=$(awk -v p="$(cat "$work/pty-$command.wall")" -v d="$delay_ms" -v s="$slack_ms" \
            'BEGIN { printf "%.3f", p + (10 * 2 * d + s) / 1000 }')
        met=$(awk -v w="$wall" -v l="$limit" 'BEGIN { print (w <= l ? "yes" : "**no**") }')
        rc=$(cat "$work/$name.rc")
        if [ "$rc" != 0 ]; then
            met="**failed**: $(head -n 1 "$work/$name.err" | sed 's/^kdr: //; s/: .*//; s/ on [a-z0-9]*:\/\/[^ ]*$//')"
            fail "$name: exit $rc: $(cat "$work/$name.err")"
        elif [ "$met" != yes ]; then
            fail "$name took $wall s, more than $limit s"
        fi
        echo "| $command | $scheme:// | $wall s | $limit s | $met | $cpu s |"
    done
    stop_children
done

# What arrived must be the reader's records, as on the pty.
for scheme in tcp rfc2217; do
    [ "$(cat "$work/$scheme-download.rc")" = 0 ] &&
        ! cmp -s "$work/pty-download.out" "$work/$scheme-download.out" &&
        fail "$scheme download differs from the pty's"
    if [ "$(cat "$work/$scheme-collect.rc")" = 0 ]; then
        stored=$("$kdr" export --db "$work/$scheme.sqlite" | tail -n +2 | wc -l)
        [ "$stored" -eq "$records" ] || fail "$scheme collect stored $stored records, not $records"
    fi
done
[ "$(tail -n +2 "$work/pty-download.out" | wc -l)" -eq "$records" ] ||
    fail "the pty download has not $records records"

echo "delay ${delay_ms} ms each way, ${records} records, limit: the pty's time + 10 round trips + ${slack_ms} ms"
[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
