#!/usr/bin/env bash
# Starts and stops the PostgreSQL server the store tests run against: a
# cluster of its own in a temporary folder, reached on a Unix socket there
# (no TCP port, so that several builds can test at once), run by an
# unprivileged user when the tests run as root (the server refuses root).
# Usage: pg_server.sh start|stop STATE_DIR
#   start writes STATE_DIR/url, a libpq URI of the server's "postgres"
#   database for the superuser "kdr"; without the server programs it writes
#   STATE_DIR/missing instead, and the tests skip saying why.
set -euo pipefail
action=$1
state=$2

bindir=
for dir in $(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V -r); do
    if [ -x "$dir/initdb" ] && [ -x "$dir/pg_ctl" ]; then bindir=$dir; break; fi
done
if [ -z "$bindir" ] && command -v pg_ctl >/dev/null && command -v initdb >/dev/null; then
    bindir=$(dirname "$(command -v pg_ctl)")
fi

as_server_user=()
if [ "$(id -u)" -eq 0 ]; then
    as_server_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi

case "$action" in
start)
    rm -rf "$state"
    mkdir -p "$state"
    if [ -z "$bindir" ]; then
        echo "PostgreSQL server programs not found (Debian: apt-get install postgresql)" \
            | tee "$state/missing" >&2
        exit 0
    fi
    # A short path: a Unix socket's path has at most 107 characters.
    root=$(mktemp -d /tmp/kdr-pg.XXXXXX)
    echo "$root" > "$state/root"
    if [ "$(id -u)" -eq 0 ]; then chown nobody:nogroup "$root"; fi
    "${as_server_user[@]}" "$bindir/initdb" -D "$root/data" -U kdr -A trust -E UTF8 \
        --locale=C --no-sync > "$root/initdb.log" 2>&1 \
        || { cat "$root/initdb.log" >&2; exit 1; }
    # The tests kill clients, never the machine: the server need not flush to
    # the disk (kdr still asks for synchronous commits; they cost no fsync
    # here). KDR_PG_FSYNC=on makes it flush, for benchmarks;
    # KDR_PG_MAX_CONNECTIONS allows more than 60 clients at once.
    "${as_server_user[@]}" "$bindir/pg_ctl" -D "$root/data" -l "$root/server.log" -w -t 30 \
        -o "-k $root -c listen_addresses='' -c max_connections=${KDR_PG_MAX_CONNECTIONS:-60} -c fsync=${KDR_PG_FSYNC:-off}" start > /dev/null \
        || { cat "$root/server.log" >&2; exit 1; }
    echo "postgresql:///postgres?host=$root&user=kdr" > "$state/url"
    echo "PostgreSQL server running on $root" >&2
    ;;
stop)
    # The cluster is thrown away: no shutdown checkpoint is worth waiting for.
    [ -f "$state/root" ] || exit 0
    root=$(cat "$state/root")
    "${as_server_user[@]}" "$bindir/pg_ctl" -D "$root/data" -m immediate -w stop > /dev/null || true
    rm -rf "$root" "$state"
    ;;
*)
    echo "usage: pg_server.sh start|stop STATE_DIR" >&2
    exit 2
    ;;
esac
