#!/usr/bin/env bash
# The kdr package's maintainer scripts at work, touching nothing of this
# system:
#   1. dpkg on a root of its own (--root, DPKG_ROOT) installs the package,
#      installs it again (an upgrade) and purges it after the site enabled
#      stations and wrote cradle files: the enablement links to the package's
#      units, the cradles' files and /etc/kdr go; the store and a link to a
#      unit of the site's own stay; the running systemd is never called.
#   2. postinst, prerm and postrm under a running systemd, as they see it (a
#      private /run holding run/systemd/system, in a mount namespace of their
#      own), with a systemctl that records its calls: a daemon-reload on
#      install, the running stations restarted on an upgrade only, stopped on
#      remove; a systemctl that fails fails no script.
# Needs root (dpkg's ownership of files, unshare). Usage: maintainer_test.sh KDR-DEB
set -euo pipefail
deb=$(realpath "$1")
work=$(mktemp -d /tmp/kdr-maintainer.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
ok() { echo "ok   $*"; }

if [ "$(id -u)" -ne 0 ]; then
    echo "skipped: needs root (dpkg --root installs files as root; unshare)"
    exit 77
fi

# ---- 1. dpkg on a root of its own -------------------------------------------
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# A systemctl first in PATH that records any call: with DPKG_ROOT set none may come.
mkdir -p "$work/bin"
cat >"$work/bin/systemctl" <<'EOF'
#!/bin/sh
echo "$*" >>"$SYSTEMCTL_LOG"
exit "${SYSTEMCTL_EXIT:-0}"
EOF
chmod +x "$work/bin/systemctl"
export SYSTEMCTL_LOG=$work/systemctl.log
: >"$SYSTEMCTL_LOG"
dpkg_root() {  # dpkg_root ARGS...: dpkg on the test's root, its scripts run outside a chroot
    PATH="$work/bin:$PATH" dpkg --root="$root" --force-script-chrootless --force-depends \
        --log=/dev/null "$@" >>"$work/dpkg.log" 2>&1 || {
        cat "$work/dpkg.log"
        fail "dpkg $*"
        return 1
    }
}

dpkg_root -i "$deb" && ok "dpkg installs $(basename "$deb") into a root of its own"
[ -x "$root/usr/bin/kdr" ] && [ -f "$root/lib/systemd/system/kdr-collect-net@.service" ] ||
    fail "the install left no kdr or units in the root"
dpkg_root -i "$deb" && ok "dpkg installs it again (an upgrade)"

# What a site makes: stations enabled (a network and a serial one, as
# `systemctl enable` links them), their own files, a store; and a unit of its
# own, enabled, that the purge must leave alone.
etc=$root/etc/systemd/system
serial_wants='dev-serial-by\x2did-usb\x2dFTDI_Cradle_A1B2\x2dif00\x2dport0.device.wants'
serial_unit='kdr-collect@dev-serial-by\x2did-usb\x2dFTDI_Cradle_A1B2\x2dif00\x2dport0.service'
mkdir -p "$etc/multi-user.target.wants" "$etc/$serial_wants" "$root/var/lib/private/kdr"
ln -s /lib/systemd/system/kdr-collect-net@.service "$etc/multi-user.target.wants/kdr-collect-net@dock-3.service"
ln -s /lib/systemd/system/kdr-collect-net@.service "$etc/multi-user.target.wants/kdr-collect-net@dock-4.service"
ln -s /lib/systemd/system/kdr-collect@.service "$etc/$serial_wants/$serial_unit"
ln -s /lib/systemd/system/kdr-serve.service "$etc/multi-user.target.wants/kdr-serve.service"
ln -s /etc/systemd/system/kdr-collect-net@.service "$etc/multi-user.target.wants/kdr-collect-net@own.service"
ln -s /lib/systemd/system/other.service "$etc/multi-user.target.wants/other.service"
echo 'KDR_PORT=tcp://10.0.4.17:4001' >"$root/etc/kdr/collect.d/dock-3.conf"
serial_instance=${serial_unit#kdr-collect@}
echo 'KDR_COLLECT_OPTIONS=--reader CRADLE-7' >"$root/etc/kdr/collect.d/${serial_instance%.service}.conf"
echo records >"$root/var/lib/private/kdr/records.sqlite"

dpkg_root --remove kdr && ok "dpkg removes it"
[ -L "$etc/multi-user.target.wants/kdr-collect-net@dock-3.service" ] &&
    [ -f "$root/etc/kdr/collect.d/dock-3.conf" ] && ok "remove keeps the site's settings and links" ||
    fail "remove (not purge) took the site's settings or links"
dpkg_root --purge kdr && ok "dpkg purges it"
for link in "multi-user.target.wants/kdr-collect-net@dock-3.service" \
    "multi-user.target.wants/kdr-collect-net@dock-4.service" "$serial_wants/$serial_unit" \
    "multi-user.target.wants/kdr-serve.service"; do
    [ -L "$etc/$link" ] && fail "purge left the link $link" || ok "purge removed the link $link"
done
[ -e "$etc/$serial_wants" ] && fail "purge left the emptied $serial_wants" ||
    ok "purge removed the emptied folder of the device's wants"
[ -L "$etc/multi-user.target.wants/kdr-collect-net@own.service" ] &&
    [ -L "$etc/multi-user.target.wants/other.service" ] &&
    ok "purge kept the links to units not the package's" || fail "purge removed a link not the package's"
[ -e "$root/etc/kdr" ] && fail "purge left /etc/kdr: $(find "$root/etc/kdr")" ||
    ok "purge removed /etc/kdr with the cradles' files"
[ "$(cat "$root/var/lib/private/kdr/records.sqlite" 2>/dev/null)" = records ] &&
    ok "purge kept the store" || fail "purge removed the store"
[ -s "$SYSTEMCTL_LOG" ] && fail "systemctl was called for another root: $(cat "$SYSTEMCTL_LOG")" ||
    ok "no systemctl for another root"

# ---- 2. the scripts under a running systemd ---------------------------------
scripts=$work/control
dpkg-deb -e "$deb" "$scripts"
# run_scripts LOG EXIT SCRIPT ARGS... [-- SCRIPT ARGS...]: each script in turn,
# in one private mount namespace where /run/systemd/system exists, with the
# recording systemctl exiting EXIT; a script's own failure is reported.
run_scripts() {
    local log=$1 code=$2
    shift 2
    : >"$log"
    SYSTEMCTL_LOG=$log SYSTEMCTL_EXIT=$code PATH="$work/bin:$PATH" unshare --mount sh -c '
        mount -t tmpfs tmpfs /run && mkdir -p /run/systemd/system || exit 99
        dir=$1; shift
        while [ $# -gt 0 ]; do
            script=$1; shift; args=
            while [ $# -gt 0 ] && [ "$1" != -- ]; do args="$args $1"; shift; done
            [ $# -gt 0 ] && shift
            # shellcheck disable=SC2086 # the arguments are words, split on purpose
            "$dir/$script" $args || { echo "$script$args exited $?" >&2; exit 1; }
        done' sh "$scripts" "$@"
}
expect_log() {  # expect_log NAME LOG EXPECTED
    if [ "$(cat "$2")" = "$3" ]; then
        ok "$1"
    else
        fail "$1: systemctl was called with:"
        sed 's/^/    /' "$2"
    fi
}

if ! unshare --mount true 2>/dev/null; then
    fail "unshare --mount does not work here: the scripts cannot be run under a systemd"
else
    run_scripts "$work/install.log" 0 postinst configure ||
        fail "postinst configure (install) failed"
    expect_log "postinst on install: daemon-reload, no restart" "$work/install.log" "daemon-reload"
    run_scripts "$work/upgrade.log" 0 prerm upgrade 1.01 -- postrm upgrade 1.01 -- postinst configure 1.00 ||
        fail "the scripts of an upgrade failed"
    expect_log "upgrade: daemon-reload, the running stations restarted" "$work/upgrade.log" \
        "daemon-reload
daemon-reload
try-restart kdr-collect@*.service kdr-collect-net@*.service kdr-serve.service"
    run_scripts "$work/upgrade-failing.log" 1 postinst configure 1.00 &&
        ok "postinst on upgrade succeeds when systemctl fails" ||
        fail "postinst on upgrade fails with systemctl"
    # (Not postrm purge: on this root it would take this system's settings.)
    run_scripts "$work/remove.log" 1 prerm remove -- postrm remove &&
        ok "prerm and postrm succeed when systemctl fails" || fail "prerm or postrm fail with systemctl"
    expect_log "remove: the stations stopped, systemd reloaded" "$work/remove.log" \
        "stop kdr-collect@*.service kdr-collect-net@*.service kdr-serve.service
daemon-reload"
fi

[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
