#!/usr/bin/env bash
# Builds the Windows control KDRCtrl.ocx for x86-64 and i686 and proves it
# under Wine: registration and unregistration through regsvr32 (checked with
# the registry and type-library APIs), the whole automation interface from a
# C++ client and from VBScript, hosting in a real container window, the
# property page General through IPropertyPage and inside the system's property
# frame, end to end against the reader simulator on a pseudo-terminal mapped as
# COM1, and screenshots of the property frame and the sample host.
#
# One Wine prefix for the run, in a temporary folder removed at the end; one
# virtual display around everything; nothing is left running.
#
# Usage: scripts/windows-test.sh            (prints "N passed, N failed" last)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "${1:-}" != "--inside" ]; then
    scripts/windows-deps.sh
    scripts/ensure-deps.sh linux
    jobs=2
    for preset in mingw64 mingw32; do
        echo "== $preset: configure and build ==" >&2
        cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j "$jobs"
    done
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
        WINEPREFIX="$work/prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
        rm -rf "$work"
    }
    trap cleanup EXIT
    status=0
    xvfb-run -a -s "-screen 0 1024x768x24" "$0" --inside "$work" || status=$?
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
        [ -n "${3:-}" ] && [ -f "$3" ] && grep -v '^PASS' "$3" | sed 's/^/    /'
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

map_port() {  # map_port COMn DEVICE: Wine reads its port table at server start
    $wine64 reg add 'HKLM\Software\Wine\Ports' /v "$1" /t REG_SZ /d "$2" /f >/dev/null
    $server -k
    $server -w
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
        # The Linux command's result from the same reader is the expectation.
        start_simulator "${reader[@]}" --records 0
        "$kdr" download --port "$sim_device" --password "$password" --raw --machine-id --rtc \
            >"$work/expected-empty.txt"
        stop_simulators
        start_simulator "${reader[@]}" --records 12
        "$kdr" download --port "$sim_device" --password "$password" --raw --machine-id --rtc \
            >"$work/expected.txt"
        map_port COM1 "$sim_device"
        start_simulator --fault silent
        map_port COM2 "$sim_device"
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
        stop_simulators
    else
        skipped=$((skipped + 1))
        echo "SKIP $arch end to end: no simulator ($kdr)"
    fi

    step "$arch regsvr32 unregisters" "$work/$arch-unreg.log" $wine regsvr32 /s /u KDRCtrl.ocx
    step "$arch nothing left registered" "$work/$arch-unregcheck.log" \
        $wine kdr_regcheck.exe unregistered
    cd "$root"
done

if [ "$skipped" -gt 0 ]; then
    echo "windows: $passed passed, $failed failed, $skipped skipped"
else
    echo "windows: $passed passed, $failed failed"
fi
[ "$failed" -eq 0 ] && [ "$skipped" -eq 0 ]
