#!/usr/bin/env bash
# Builds the Windows control KDRCtrl.ocx for x86-64 and i686 and proves it
# under Wine: registration and unregistration through regsvr32 (checked with
# the registry and type-library APIs), the whole automation interface from a
# C++ client and from VBScript, hosting in a real container window, the
# property page General through IPropertyPage and inside the system's property
# frame, end to end against the reader simulator on a pseudo-terminal mapped as
# COM1, the waits' precision, registration for the current user only, use
# without registration through the assembly manifest, screenshots of the
# property frame and the sample host; then the release package, unpacked into
# a fresh prefix, registered with its register.cmd and used by its sample
# script.
#
# Two Wine prefixes (the test's, the package's), in a temporary folder
# removed at the end; one virtual display around everything; nothing is left
# running.
#
# Usage: scripts/windows-test.sh            (prints "N passed, N failed" last)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
. scripts/lib/on-error.sh windows-test

if [ "${1:-}" != "--inside" ]; then
    scripts/windows-deps.sh
    scripts/ensure-deps.sh linux
    jobs=2
    for preset in mingw64 mingw32; do
        echo "== $preset: configure and build ==" >&2
        cmake --preset "$preset" -DKDR_WERROR=ON >/dev/null
        cmake --build --preset "$preset" -j "$jobs"
    done
    echo "== Windows package ==" >&2
    cmake --build --preset mingw32 -j "$jobs" --target package
    # The reader simulator and the Linux command, for the end-to-end test
    # (KDR_LINUX_TOOL names a kdr built elsewhere).
    if [ -z "${KDR_LINUX_TOOL:-}" ]; then
        echo "== Linux kdr (simulator) ==" >&2
        cmake -S . -B build/windows-test-linux -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DKDR_BUILD_TESTS=OFF >/dev/null
        cmake --build build/windows-test-linux -j "$jobs" --target kdr
    fi

    work=$(mktemp -d /tmp/kdrctrl-wine.XXXXXX)
    cleanup() {
        for prefix in "$work/prefix" "$work/fresh"; do
            WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
        done
        rm -rf "$work"
    }
    trap cleanup EXIT
    status=0
    xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside "$work" || status=$?
    [ "$status" -eq 0 ] || echo "windows-test: the tests in the virtual display ended with exit $status" >&2
    exit "$status"
fi

# ---- Inside the virtual display --------------------------------------------
work=$2
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine64=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
server=/usr/lib/wine/wineserver
kdr="${KDR_LINUX_TOOL:-$root/build/windows-test-linux/cli/kdr}"
passed=0
failed=0
skipped=0
simulators=()

stop_simulators() {
    for pid in "${simulators[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    simulators=()
}
finish() {
    stop_simulators
    $server -k 2>/dev/null || true
    WINEPREFIX="$work/fresh" $server -k 2>/dev/null || true
    # Every step's output, for a look after the prefix is gone.
    rm -rf "$root/build/windows-test-logs"
    mkdir -p "$root/build/windows-test-logs"
    cp "$work"/*.log "$root/build/windows-test-logs/" 2>/dev/null || true
}
trap finish EXIT

result() {  # result NAME RC [LOG]
    if [ "$2" -eq 0 ]; then
        passed=$((passed + 1))
        echo "PASS $1"
    else
        failed=$((failed + 1))
        echo "FAIL $1 (exit $2)"
        # (An empty log prints nothing and ends nothing.)
        if [ -n "${3:-}" ] && [ -f "$3" ]; then
            grep -v '^PASS' "$3" | sed 's/^/    /' || true
        fi
    fi
    return 0
}

step() {  # step NAME LOG COMMAND... : runs the command with a time limit
    local name=$1 log=$2 rc=0
    shift 2
    timeout 180 "$@" >"$log" 2>&1 || rc=$?
    result "$name" "$rc" "$log"
}

# Starts `kdr simulate` with the arguments; its device path in $sim_device.
start_simulator() {
    local out="$work/sim.$RANDOM"
    "$kdr" simulate "$@" >"$out" 2>"$out.err" &
    simulators+=($!)
    for _ in $(seq 100); do
        if [ -s "$out" ]; then
            sim_device=$(head -n 1 "$out")
            return 0
        fi
        sleep 0.05
    done
    echo "the simulator did not start: $(cat "$out.err")" >&2
    return 1
}

map_ports() {  # map_ports COMn DEVICE [COMn DEVICE]: Wine reads its port table at server start
    local args=("$@")
    for ((i = 0; i < ${#args[@]}; i += 2)); do
        $wine64 reg add 'HKLM\Software\Wine\Ports' /v "${args[i]}" /t REG_SZ /d "${args[i + 1]}" \
            /f >/dev/null
    done
    # A server that served a closed pseudo-terminal dumps its objects as it
    # goes. `wineserver -k` exits 1 when none runs (the prefix's last program
    # ended and its server with it), which is as good as one stopped.
    $server -k >/dev/null 2>&1 || true
    $server -w
    # The system's services rewrite the ports' links as the server starts
    # again, and open the ports as they do: a program started before they are
    # done may open the old device or meet them on the line.
    $wine64 reg query 'HKLM\Software\Wine\Ports' >/dev/null 2>&1
    local link
    for ((i = 0; i < ${#args[@]}; i += 2)); do
        link="$WINEPREFIX/dosdevices/$(echo "${args[i]}" | tr '[:upper:]' '[:lower:]')"
        for _ in $(seq 200); do
            [ "$(readlink "$link" 2>/dev/null)" = "${args[i + 1]}" ] && break
            sleep 0.05
        done
    done
    sleep 2
}

# The reader on COM1 (the records behind expected.txt), a silent one on COM2,
# one that pauses halfway through its download answer on COM3, one that
# refuses to erase on COM4, one whose line drops right after the erase
# request on COM5, and one that reads its clock back as the next minute with
# the second below zero on COM6.
start_readers() {
    start_simulator "${reader[@]}" --records 12
    local com1=$sim_device
    start_simulator --fault silent
    local com2=$sim_device
    start_simulator "${reader[@]}" --records 12 --fault pause
    local com3=$sim_device
    start_simulator "${reader[@]}" --records 12 --fault refuse:E
    local com4=$sim_device
    start_simulator "${reader[@]}" --records 12 --fault drop:E
    local com5=$sim_device
    start_simulator "${reader[@]}" --fault borrow
    map_ports COM1 "$com1" COM2 "$com2" COM3 "$com3" COM4 "$com4" COM5 "$com5" COM6 "$sim_device"
}

# Exports the classes of a hive (64- and 32-bit views) to a file: an absent
# key exports as nothing.
export_classes() {  # export_classes ROOT FILE
    : >"$2"
    for key in "$1\Software\Classes" "$1\Software\Wow6432Node\Classes"; do
        $wine64 reg export "$key" "$2.part" /y >/dev/null 2>&1 && cat "$2.part" >>"$2"
        rm -f "$2.part"
    done
}

echo "== Wine prefix ==" >&2
$wine64 wineboot -i >/dev/null 2>&1
$server -w

for arch in x64 x86; do
    if [ "$arch" = x64 ]; then
        wine=$wine64 preset=mingw64
    else
        wine=$wine32 preset=mingw32
    fi
    build="$root/build/$preset/bin"
    dir="$work/$arch"
    mkdir -p "$dir"
    cp "$build"/KDRCtrl.ocx "$build"/*.exe "$dir"/
    cp "$root/tests/windows/automation.vbs" "$root/samples/download.vbs" "$dir"/
    cd "$dir"
    ocx=$($wine winepath -w "$dir/KDRCtrl.ocx" | tr -d '\r')
    echo "== $arch ==" >&2

    step "$arch regsvr32 registers" "$work/$arch-reg.log" $wine regsvr32 /s KDRCtrl.ocx
    step "$arch registration in the registry and type library" "$work/$arch-regcheck.log" \
        $wine kdr_regcheck.exe registered "$ocx"
    step "$arch automation client, by name and by dispatch id" "$work/$arch-auto.log" \
        $wine kdr_automation_test.exe
    # cscript ends with 0 even on a script error: the marker line decides.
    rc=0
    timeout 120 $wine cscript //nologo automation.vbs >"$work/$arch-vbs.log" 2>&1 || rc=$?
    grep -q '^KDRCTRL-VBSCRIPT-DONE' "$work/$arch-vbs.log" || rc=1
    result "$arch VBScript through cscript" "$rc" "$work/$arch-vbs.log"
    step "$arch hosted in an ATL container window" "$work/$arch-host.log" \
        $wine kdr_hosting_test.exe
    # The property page with a page site of the test's own (Wine's frame never
    # applies a page), then inside the system's property frame, pictured.
    step "$arch property page General through IPropertyPage" "$work/$arch-page.log" \
        $wine kdr_page_test.exe
    rc=0
    mkdir -p "$root/build/$preset/screenshots"
    timeout 60 $wine kdr_page_test.exe /frame property-page.bmp >"$work/$arch-frame.log" 2>&1 ||
        rc=$?
    python3 "$root/tests/windows/bmp_to_png.py" property-page.bmp \
        "$root/build/$preset/screenshots/property-page.png" >>"$work/$arch-frame.log" 2>&1 || rc=1
    result "$arch property page in the system's property frame (build/$preset/screenshots/property-page.png)" \
        "$rc" "$work/$arch-frame.log"

    # End to end: the simulator's pseudo-terminal as COM1, a silent one as COM2.
    if [ -x "$kdr" ]; then
        password=4711
        reader=(--password "$password" --id KDR00007 --fast --clock "2024-05-06 07:08:09")
        # The Linux command's result from the same reader is the expectation
        # (each within a minute: a command that hangs must not hold the run).
        start_simulator "${reader[@]}" --records 0
        timeout 60 "$kdr" download --port "$sim_device" --password "$password" --raw --machine-id --rtc \
            >"$work/expected-empty.txt"
        stop_simulators
        start_simulator "${reader[@]}" --records 12
        timeout 60 "$kdr" download --port "$sim_device" --password "$password" --raw --machine-id --rtc \
            >"$work/expected.txt"
        stop_simulators
        start_readers
        rc=0
        timeout 120 $wine cscript //nologo download.vbs 1 "$password" >"$work/$arch-dl.log" 2>&1 ||
            rc=$?
        grep -q '^KDRCTRL-DOWNLOAD-DONE' "$work/$arch-dl.log" || rc=1
        # The script prints the controller's text: its first line is the reader's.
        grep -qF "$(head -n 1 "$work/expected.txt" | tr -d '\r')" "$work/$arch-dl.log" || rc=1
        result "$arch samples/download.vbs against the simulator" "$rc" "$work/$arch-dl.log"
        if [ "$arch" = x64 ]; then
            # The sample host after Open and Download, for the documentation.
            rc=0
            mkdir -p "$root/build/mingw64/screenshots"
            timeout 60 $wine kdr_sample_host.exe /screenshot sample-host.bmp 1 "$password" \
                >/dev/null 2>&1 || rc=$?
            python3 "$root/tests/windows/bmp_to_png.py" sample-host.bmp \
                "$root/build/mingw64/screenshots/sample-host.png" || rc=1
            result "$arch sample host screenshot (build/mingw64/screenshots/sample-host.png)" "$rc"
        fi
        step "$arch end to end against the simulator" "$work/$arch-e2e.log" \
            $wine kdr_e2e_test.exe "$password" \
            "$($wine winepath -w "$work/expected.txt" | tr -d '\r')" \
            "$($wine winepath -w "$work/expected-empty.txt" | tr -d '\r')"
        # How late the waits end, OpenKDR's length against the silent COM2, and
        # the COM port's waiting reads on COM2 and COM1.
        step "$arch waits end on time; OpenKDR against a silent reader; port reads wait" \
            "$work/$arch-waits.log" $wine kdr_waits_test.exe 2 1 "$password"
        grep -E '^(overshoot|OpenKDR|port read)' "$work/$arch-waits.log" | sed 's/^/    /'
        stop_simulators
    else
        skipped=$((skipped + 1))
        echo "SKIP $arch end to end: no simulator ($kdr)"
    fi

    step "$arch regsvr32 unregisters" "$work/$arch-unreg.log" $wine regsvr32 /s /u KDRCtrl.ocx
    step "$arch nothing left registered" "$work/$arch-unregcheck.log" \
        $wine kdr_regcheck.exe unregistered

    # For the current user only: the same registration under
    # HKCU\Software\Classes, nothing in the machine's hive, no trace after.
    # Windows always has the user's classes key; a fresh Wine prefix has not.
    $wine64 reg add 'HKCU\Software\Classes' /f >/dev/null
    export_classes HKLM "$work/machine-before.reg"
    export_classes HKCU "$work/user-before.reg"
    step "$arch regsvr32 /n /i:user registers for the user" "$work/$arch-userreg.log" \
        $wine regsvr32 /s /n /i:user KDRCtrl.ocx
    step "$arch registration in the user's classes" "$work/$arch-usercheck.log" \
        $wine kdr_regcheck.exe registered "$ocx" user
    export_classes HKLM "$work/machine-after.reg"
    rc=0
    cmp -s "$work/machine-before.reg" "$work/machine-after.reg" || rc=1
    result "$arch nothing written to the machine's classes" "$rc"
    step "$arch regsvr32 /u /n /i:user unregisters for the user" "$work/$arch-userunreg.log" \
        $wine regsvr32 /s /u /n /i:user KDRCtrl.ocx
    step "$arch nothing left in the user's classes" "$work/$arch-userunregcheck.log" \
        $wine kdr_regcheck.exe unregistered user
    export_classes HKCU "$work/user-after.reg"
    rc=0
    cmp -s "$work/user-before.reg" "$work/user-after.reg" || rc=1
    result "$arch the user's classes as they were" "$rc"

    # Without registration: the program's manifest names the assembly KDRCtrl,
    # whose manifest lies beside KDRCtrl.ocx.
    regfree="$work/$arch-regfree"
    mkdir -p "$regfree"
    cp "$build"/KDRCtrl.ocx "$build"/KDRCtrl.manifest "$build"/kdr_sample_host.exe \
        "$build"/kdr_sample_host.exe.manifest "$build"/kdr_e2e_test.exe "$regfree"/
    cp "$build"/kdr_sample_host.exe.manifest "$regfree"/kdr_e2e_test.exe.manifest
    rc=0
    for manifest in "$regfree"/*.manifest; do
        python3 -c 'import sys, xml.etree.ElementTree as x; x.parse(sys.argv[1])' "$manifest" \
            >>"$work/$arch-manifest.log" 2>&1 || rc=1
    done
    result "$arch manifests well-formed" "$rc" "$work/$arch-manifest.log"
    step "$arch manifest matches the type library" "$work/$arch-manifestcheck.log" \
        $wine kdr_regcheck.exe manifest \
        "$($wine winepath -w "$regfree/kdr_sample_host.exe.manifest" | tr -d '\r')" "$ocx"
    if [ -x "$kdr" ]; then
        start_readers
        cd "$regfree"
        # The sample host opens and downloads (nothing is erased) before the
        # end-to-end test, as in the registered run.
        step "$arch without registration: the sample host places the control" \
            "$work/$arch-regfreehost.log" \
            $wine kdr_sample_host.exe /screenshot regfree.bmp 1 "$password"
        step "$arch without registration: end to end through the manifest" \
            "$work/$arch-regfree.log" $wine kdr_e2e_test.exe "$password" \
            "$($wine winepath -w "$work/expected.txt" | tr -d '\r')" \
            "$($wine winepath -w "$work/expected-empty.txt" | tr -d '\r')"
        stop_simulators
    fi
    cd "$root"
done

# ---- The release package in a fresh prefix --------------------------------
zip="$root/build/mingw32/KDRCtrl-1.01-windows.zip"
echo "== package ==" >&2
export WINEPREFIX="$work/fresh"
$wine64 wineboot -i >/dev/null 2>&1
$server -w
package="$WINEPREFIX/drive_c/KDRCtrl"
mkdir -p "$package"
rc=0
(cd "$package" && cmake -E tar xf "$zip") >"$work/package.log" 2>&1 || rc=1
for name in README.txt register.cmd unregister.cmd samples/download.vbs x64/KDRCtrl.ocx \
    x64/KDRCtrl.manifest x86/KDRCtrl.ocx x86/KDRCtrl.manifest x64/kdr_sample_host.exe \
    x86/kdr_sample_host.exe; do
    [ -f "$package/$name" ] || { echo "missing $name" >>"$work/package.log"; rc=1; }
done
result "package KDRCtrl-1.01-windows.zip holds both builds, samples and scripts" "$rc" \
    "$work/package.log"
cd "$package"
step "package register.cmd" "$work/package-register.log" $wine64 cmd /c register.cmd
if [ -x "$kdr" ]; then
    start_simulator "${reader[@]}" --records 12
    map_ports COM1 "$sim_device"
    for arch in x64 x86; do
        [ "$arch" = x64 ] && wine=$wine64 || wine=$wine32
        rc=0
        timeout 120 $wine cscript //nologo 'samples\download.vbs' 1 "$password" \
            >"$work/package-$arch-dl.log" 2>&1 || rc=$?
        grep -q '^KDRCTRL-DOWNLOAD-DONE' "$work/package-$arch-dl.log" || rc=1
        grep -qF "$(head -n 1 "$work/expected.txt" | tr -d '\r')" "$work/package-$arch-dl.log" ||
            rc=1
        result "package samples/download.vbs, $arch host, against the simulator" "$rc" \
            "$work/package-$arch-dl.log"
    done
    stop_simulators
fi
step "package unregister.cmd" "$work/package-unregister.log" $wine64 cmd /c unregister.cmd
cd "$root"

if [ "$skipped" -gt 0 ]; then
    echo "windows: $passed passed, $failed failed, $skipped skipped"
else
    echo "windows: $passed passed, $failed failed"
fi
# The line above says why this fails.
if [ "$failed" -ne 0 ] || [ "$skipped" -ne 0 ]; then
    exit 1
fi
