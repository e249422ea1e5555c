#!/bin/sh
# The built kdr as a shell script uses it: exit codes, help, the demo.
# Usage: cli_script_test.sh PATH-TO-KDR
set -u
kdr=$1
failures=0

check() {  # check NAME EXPECTED-EXIT-CODE COMMAND...
    name=$1 expected=$2
    shift 2
    "$@" >/tmp/kdr-script-out.$$ 2>/tmp/kdr-script-err.$$
    code=$?
    if [ "$code" -ne "$expected" ]; then
        echo "FAIL $name: exit $code, expected $expected"
        cat /tmp/kdr-script-err.$$
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

contains() {  # contains NAME FILE TEXT
    if grep -qF -- "$3" "$2"; then
        echo "ok   $1"
    else
        echo "FAIL $1: \"$3\" not in $2:"
        cat "$2"
        failures=$((failures + 1))
    fi
}

check "help" 0 "$kdr" --help
contains "help lists the commands" /tmp/kdr-script-out.$$ "sync-time"
for command in open download sync-time erase ports simulate demo; do
    check "$command --help" 0 "$kdr" "$command" --help
    contains "$command help has examples" /tmp/kdr-script-out.$$ "Examples:"
done
check "no command" 2 "$kdr"
check "unknown option" 2 "$kdr" open --speed 9600
check "bad port" 2 "$kdr" download --port ttyUSB0
check "erase off a terminal needs --yes" 2 "$kdr" erase --port /dev/null </dev/null
check "a port that does not exist" 1 "$kdr" open --port /dev/kdr-missing
contains "says why" /tmp/kdr-script-err.$$ "does not exist"

# Results that cannot be written fail the command with one sentence; the
# simulator, whose device path no one learns then, stops instead of serving.
for args in "--help" "ports" "demo --fast" "simulate --fast"; do
    check "$args to a full disk" 1 timeout 10 sh -c "\"$kdr\" $args >/dev/full"
    contains "$args says the disk is full" /tmp/kdr-script-err.$$ "kdr: cannot write to standard output: No space left on device"
done

check "demo" 0 "$kdr" demo --fast --format csv
contains "demo prints the records" /tmp/kdr-script-out.$$ "KDR00042,12,1,"
check "demo output can be piped" 0 sh -c "\"$kdr\" demo --fast | head -n 1 | grep -q 'Machine ID: KDR00042'"

rm -f /tmp/kdr-script-out.$$ /tmp/kdr-script-err.$$
[ "$failures" -eq 0 ] || { echo "$failures failure(s)"; exit 1; }
echo "all passed"
