#!/usr/bin/env bash
# The station's files as `cmake --install` lays them out for a prefix:
# where they land, the password readable by root alone, both units accepted
# by systemd-analyze verify, and the udev rule's helper naming the unit
# whose instance systemd unescapes back to the cradle's device path.
# Usage: station_test.sh CMAKE BUILD-DIR
set -u
cmake=$1
build=$2
work=$(mktemp -d /tmp/kdr-station.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
ok() { echo "ok   $*"; }

prefix=$work/prefix
"$cmake" --install "$build" --prefix "$prefix" --component kdr >"$work/install.log" ||
    { cat "$work/install.log"; exit 1; }
units=$prefix/lib/systemd/system
for file in bin/kdr lib/systemd/system/kdr-collect@.service \
    lib/systemd/system/kdr-collect-net@.service lib/systemd/system/kdr-serve.service etc/kdr/collect.conf etc/kdr/password \
    etc/kdr/collect.d share/kdr/udev/70-kdr-cradle.rules libexec/kdr/cradle-unit \
    share/doc/kdr/STATION.md; do
    [ -e "$prefix/$file" ] && ok "installed: $file" || fail "not installed: $file"
done
mode=$(stat -c %a "$prefix/etc/kdr/password")
[ "$mode" = 600 ] && ok "the password file is root's alone" || fail "etc/kdr/password has mode $mode"
# The units and the rule name this prefix's files, not the source's placeholders.
if grep -n '@[A-Z_]*@' "$units"/*.service "$prefix/share/kdr/udev/70-kdr-cradle.rules"; then
    fail "placeholders left (above)"
fi
grep -qx "ExecStart=$prefix/bin/kdr collect --watch --erase \$KDR_COLLECT_OPTIONS" \
    "$units/kdr-collect@.service" && ok "ExecStart names the installed kdr" ||
    fail "ExecStart: $(grep ExecStart "$units/kdr-collect@.service")"
grep -q "EnvironmentFile=$prefix/etc/kdr/collect.conf" "$units/kdr-collect-net@.service" &&
    ok "EnvironmentFile names the installed settings" || fail "EnvironmentFile of the network unit"

# A missing password file, or a network cradle's missing file, is one failed
# start (an assertion), not a restart every 10 s for ever; the serial
# cradle's own file is optional.
for unit in kdr-collect@.service kdr-collect-net@.service; do
    grep -qx "AssertPathExists=$prefix/etc/kdr/password" "$units/$unit" &&
        ok "$unit asserts the password file" || fail "$unit does not assert $prefix/etc/kdr/password"
    # After a PostgreSQL server on this host, but needing none.
    grep -qE '^After=.* postgresql\.service( |$)' "$units/$unit" &&
        ok "$unit starts after postgresql.service" || fail "$unit is not ordered after postgresql.service"
    grep -E '^(Wants|Requires|BindsTo|Requisite)=.*postgresql' "$units/$unit" &&
        fail "$unit pulls in PostgreSQL (above)"
done
grep -qx "AssertPathExists=$prefix/etc/kdr/collect.d/%i.conf" "$units/kdr-collect-net@.service" &&
    ok "kdr-collect-net@.service asserts the cradle's file" ||
    fail "kdr-collect-net@.service does not assert its collect.d file"
grep -q '^AssertPathExists=.*collect\.d' "$units/kdr-collect@.service" &&
    fail "kdr-collect@.service asserts the optional collect.d file"
grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
    "$prefix/share/doc/kdr/copyright" && grep -q '^License: Expat' "$prefix/share/doc/kdr/copyright" &&
    ok "share/doc/kdr/copyright: the MIT (Expat) licence, machine-readable" ||
    fail "share/doc/kdr/copyright is missing or not the MIT licence in Debian's format"

# Installs into other prefixes at the same time each get units naming their
# own prefix (the files are made per install, not in one shared folder).
pids=()
for n in 1 2 3 4; do
    "$cmake" --install "$build" --prefix "$work/at-once-$n" --component kdr >"$work/at-once-$n.log" 2>&1 &
    pids+=($!)
done
for n in 1 2 3 4; do
    if ! wait "${pids[n - 1]}"; then
        fail "install $n of 4 at once:"
        cat "$work/at-once-$n.log"
    elif grep -qx "ExecStart=$work/at-once-$n/bin/kdr collect --watch --erase \$KDR_COLLECT_OPTIONS" \
        "$work/at-once-$n/lib/systemd/system/kdr-collect@.service" &&
        grep -qx "EnvironmentFile=$work/at-once-$n/etc/kdr/collect.conf" \
            "$work/at-once-$n/lib/systemd/system/kdr-collect-net@.service"; then
        ok "install $n of 4 at once names its own prefix"
    else
        fail "install $n of 4 at once: its units name another prefix"
        grep -E '^(ExecStart|EnvironmentFile)=' "$work/at-once-$n"/lib/systemd/system/*.service
    fi
done
leftover=$(find "$build/station" -mindepth 1 -maxdepth 1 -name 'install-*' 2>/dev/null)
[ -z "$leftover" ] && ok "no per-install folder left in $build/station" || fail "left behind: $leftover"

if ! command -v systemd-analyze >/dev/null || ! command -v systemd-escape >/dev/null; then
    echo "skipped: systemd-analyze or systemd-escape is not installed (the systemd package)"
    [ "$failures" -eq 0 ] || exit 1
    exit 77
fi

# The helper, given udev's $links, names the unit of the by-id link; its
# instance unescapes to that device path, the one %f hands the station.
device=/dev/serial/by-id/usb-FTDI_Cradle-7_A1b2-if00-port0
unit=$("$prefix/libexec/kdr/cradle-unit" serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0 \
    "${device#/dev/}")
back=$(systemd-escape --unescape --path --instance "$unit")
[ "$back" = "$device" ] && ok "cradle-unit: $unit" || fail "cradle-unit gave '$unit', which is '$back'"
"$prefix/libexec/kdr/cradle-unit" ttyUSB0 >/dev/null && fail "cradle-unit named a unit without a by-id link" ||
    ok "cradle-unit: no unit without a by-id link"

# systemd-analyze verify loads an instance from a file of its name, and
# checks the settings, the specifiers and that ExecStart is an executable.
verify() {  # verify TEMPLATE INSTANCE-UNIT
    mkdir -p "$work/verify"
    cp "$units/$1" "$work/verify/$2"
    if SYSTEMD_LOG_COLOR=0 systemd-analyze verify --man=no "$work/verify/$2" >"$work/verify.log" 2>&1 &&
        ! grep -v -e 'network-online.target' -e '^$' "$work/verify.log" | grep -q .; then
        ok "systemd-analyze verify $2"
    else
        fail "systemd-analyze verify $2:"
        cat "$work/verify.log"
    fi
}
verify 'kdr-collect@.service' "$unit"
verify 'kdr-collect-net@.service' 'kdr-collect-net@dock-3.service'
verify 'kdr-serve.service' 'kdr-serve.service'

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
