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
    lib/systemd/system/kdr-collect-net@.service etc/kdr/collect.conf etc/kdr/password \
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

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
