#!/usr/bin/env bash
# Builds the release preset whole and runs its tests, then proves what users
# and packagers get from it:
#   1. `cmake --install` into a fresh prefix: the command, its man page and
#      bash completion, the public headers, the libraries, the CMake package;
#   2. an outside project (tests/consumer), configured against that prefix
#      only, builds the README's library example, which then downloads from
#      the installed `kdr simulate` exactly what `kdr download` gets;
#   3. CPack's Debian packages, unpacked with dpkg-deb into a temporary folder:
#      `kdr --version`, `man` on its page and `kdr demo --fast` from there, the
#      station's units, conffiles and udev rule, the licence in each package,
#      the maintainer scripts run by dpkg on a root of its own
#      (tests/station/maintainer_test.sh), and the example built against the
#      development package.
# Everything it makes is under build/package-test (KDR_PACKAGE_TEST_DIR).
# Warnings are errors here, as in every CI build (KDR_WERROR=OFF to allow them).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/on-error.sh package-test
root=$PWD

scripts/ensure-deps.sh linux
jobs=$(nproc)
out=${KDR_PACKAGE_TEST_DIR:-$root/build/package-test}
build=$root/build/release

step() { echo "== $* (at ${SECONDS} s) ==" >&2; }
fail() { echo "package-test: $*" >&2; exit 1; }

step "release: configure and build"
cmake --preset release -DKDR_WERROR="${KDR_WERROR:-ON}" >/dev/null
cmake --build --preset release -j "$jobs"
# The store's tests (collects killed at random, two collectors, PostgreSQL)
# and the device-server tests run in the dev and asan builds; here the
# release build runs the rest, which shows what optimisation may change.
step "release: tests (those of the store and the device servers run in dev and asan)"
ctest --preset release -j "$jobs" -LE '^(store|network)$'

rm -rf "$out"
mkdir -p "$out"
sims=()
cleanup() {
    for pid in "${sims[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}
trap cleanup EXIT

# ---- 1. cmake --install ------------------------------------------------------
step "install into $out/prefix"
prefix=$out/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$build/CMakeCache.txt")
for file in bin/kdr share/man/man1/kdr.1.gz share/bash-completion/completions/kdr \
    include/kdr/controller.hpp include/kdr/posix_platform.hpp \
    "$libdir/libkdr_core.a" "$libdir/libkdr_platform.a" \
    "$libdir/cmake/KDRCtrl/KDRCtrlConfig.cmake" "$libdir/cmake/KDRCtrl/KDRCtrlConfigVersion.cmake"; do
    [ -e "$prefix/$file" ] || fail "not installed: $file"
done
[ ! -e "$prefix/include/kdr/simulator.hpp" ] || fail "the simulator's header is installed"
# The package asks for fmt and nothing else of the build's dependencies.
if grep -rEl 'CLI11|nlohmann|GTest|gtest|gmock|kdr_warnings' "$prefix/$libdir/cmake/KDRCtrl"; then
    fail "the CMake package names a build-only dependency (above)"
fi
bash tests/consumer/completion_test.sh "$prefix/bin/kdr" "$prefix/share/bash-completion/completions/kdr"

# Starts the installed `kdr simulate` with the arguments; its device in $device.
start_simulator() {
    local path="$out/sim.$RANDOM"
    "$prefix/bin/kdr" simulate "$@" >"$path" 2>"$path.log" &
    sims+=($!)
    for _ in $(seq 100); do
        if [ -s "$path" ]; then
            device=$(head -n 1 "$path")
            return 0
        fi
        sleep 0.05
    done
    fail "the simulator did not start: $(cat "$path.log")"
}

# ---- 2. an outside project against the installed package ---------------------
step "consumer: the README's library example against the installed package"
consumer=$out/consumer
mkdir -p "$consumer"
# The first C++ block under "## The library", as it stands in the README.
awk '/^## /{library = ($0 == "## The library")}
     library && /^```cpp$/ {inside = 1; next}
     inside && /^```$/ {exit}
     inside {print}' README.md >"$consumer/readme_example.cpp"
grep -q 'int main' "$consumer/readme_example.cpp" || fail "no complete C++ example under '## The library' in README.md"
# The first CMake block under "## Installing": the lines a user's project
# takes, with no CMAKE_CXX_STANDARD around them.
awk '/^## /{installing = ($0 == "## Installing")}
     installing && /^```cmake$/ {inside = 1; next}
     inside && /^```$/ {exit}
     inside {print}' README.md >"$consumer/readme.cmake"
grep -q 'find_package(KDRCtrl' "$consumer/readme.cmake" || fail "no CMake lines under '## Installing' in README.md"
consumer_inputs=(-DKDR_EXAMPLE="$consumer/readme_example.cpp" -DKDR_README_CMAKE="$consumer/readme.cmake")
cmake -S tests/consumer -B "$consumer/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" "${consumer_inputs[@]}" >/dev/null
cmake --build "$consumer/build" -j "$jobs"
# The example opens port 1, mapped to the device on its command line, with
# the password "secret": it prints what `kdr download --rtc --raw` prints.
start_simulator --password secret --fast --records 9 --clock "2024-05-06 07:08:09"
"$consumer/build/app" "$device" >"$consumer/example.out"
"$prefix/bin/kdr" download --port "$device" --password secret --rtc --raw >"$consumer/expected.out"
grep -q '^9 record(s) received' "$consumer/expected.out" || fail "kdr download: $(head -c 200 "$consumer/expected.out")"
cmp "$consumer/expected.out" "$consumer/example.out" || fail "the example's records differ from kdr download's"
cleanup
sims=()

# ---- 3. the Debian packages -------------------------------------------------
step "Debian packages (CPack)"
(cd "$out" && cpack --config "$build/CPackConfig.cmake" -B "$out/deb" >/dev/null)
kdr_deb=$(ls "$out"/deb/kdr_*.deb)
dev_deb=$(ls "$out"/deb/libkdr-dev_*.deb)
dpkg-deb -c "$kdr_deb" >"$out/kdr.contents"
dpkg-deb -c "$dev_deb" >"$out/dev.contents"
py_deb=$(ls "$out"/deb/python3-kdr_*.deb)
dpkg-deb -c "$py_deb" >"$out/python.contents"
grep -qE '\./usr/lib/python3/dist-packages/kdr\.cpython-[^/]*\.so$' "$out/python.contents" ||
    fail "the module is not in Debian's Python path in $py_deb"
grep -q '\./usr/lib/python3/dist-packages/kdr\.pyi$' "$out/python.contents" || fail "no kdr.pyi in $py_deb"
dpkg-deb -f "$py_deb" Depends | grep -q 'python3 (>= ' || fail "$py_deb does not depend on python3"
dpkg-deb -f "$py_deb" Depends | grep -q 'libfmt' || fail "$py_deb does not depend on fmt"
grep -q '/usr/bin/kdr$' "$out/kdr.contents" || fail "kdr is not in $kdr_deb"
grep -qE '/include/|\.a$' "$out/kdr.contents" && fail "$kdr_deb holds development files"
grep -q 'KDRCtrlConfig.cmake$' "$out/dev.contents" || fail "the CMake package is not in $dev_deb"
dpkg-deb -f "$kdr_deb" Depends | grep -q 'libfmt' || fail "$kdr_deb does not depend on fmt"
# PostgreSQL on this host looks the stations' dynamic user up through it.
dpkg-deb -f "$kdr_deb" Depends | grep -qE '(^|, )libnss-systemd(,|$| )' ||
    fail "$kdr_deb does not depend on libnss-systemd"
# Each package carries the licence, machine-readable, where Debian looks.
for deb in "$kdr_deb" "$dev_deb" "$py_deb"; do
    package=$(dpkg-deb -f "$deb" Package)
    dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$package/copyright" >"$out/copyright" ||
        fail "$deb has no /usr/share/doc/$package/copyright"
    head -n 1 "$out/copyright" | grep -qx 'Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' &&
        grep -qx 'License: Expat' "$out/copyright" && grep -q 'The KDRCtrl authors' "$out/copyright" ||
        fail "/usr/share/doc/$package/copyright in $deb is not the MIT licence in Debian's format"
done
# The station: units, settings as conffiles (the password root's alone), the
# udev rule where udev does not read it, and the maintainer scripts.
for file in ./lib/systemd/system/kdr-collect@.service ./lib/systemd/system/kdr-collect-net@.service \
    ./etc/kdr/collect.conf ./etc/kdr/password ./etc/kdr/collect.d/ \
    ./usr/share/kdr/udev/70-kdr-cradle.rules ./usr/libexec/kdr/cradle-unit \
    ./usr/share/doc/kdr/STATION.md; do
    grep -q " $file\$" "$out/kdr.contents" || fail "$file is not in $kdr_deb"
done
grep -qE '^-rw------- root/root .* \./etc/kdr/password$' "$out/kdr.contents" ||
    fail "/etc/kdr/password is not root's alone: $(grep password "$out/kdr.contents")"
grep -E ' \./(usr/)?lib/udev/rules\.d/' "$out/kdr.contents" && fail "$kdr_deb holds an active udev rule"
dpkg-deb -e "$kdr_deb" "$out/kdr.control"
[ "$(sort "$out/kdr.control/conffiles")" = "$(printf '/etc/kdr/collect.conf\n/etc/kdr/password')" ] ||
    fail "the conffiles of $kdr_deb: $(cat "$out/kdr.control/conffiles")"
for script in postinst prerm postrm; do
    [ -x "$out/kdr.control/$script" ] || fail "$kdr_deb has no $script"
    sh -n "$out/kdr.control/$script" || fail "$script of $kdr_deb is no shell script"
done
# The maintainer scripts, run by dpkg on a root of its own (install, upgrade,
# purge) and under a systemd as they see it (what they ask of systemctl).
step "Debian package kdr: its maintainer scripts"
rc=0
bash tests/station/maintainer_test.sh "$kdr_deb" || rc=$?
[ "$rc" -eq 0 ] || [ "$rc" -eq 77 ] || fail "the maintainer scripts of $kdr_deb (above)"
# Its dependencies resolve on this system (a simulation: nothing is changed).
apt-get install --simulate -qq "$kdr_deb" "$dev_deb" "$py_deb" >/dev/null ||
    fail "the packages' dependencies do not resolve"

step "Debian packages: unpacked, kdr --version, man kdr, kdr demo --fast"
unpacked=$(mktemp -d /tmp/kdr-deb.XXXXXX)
trap 'cleanup; rm -rf "$unpacked"' EXIT
dpkg-deb -x "$kdr_deb" "$unpacked"
dpkg-deb -x "$dev_deb" "$unpacked"
version=$("$unpacked/usr/bin/kdr" --version)
[ "$version" = "kdr $(dpkg-deb -f "$kdr_deb" Version)" ] || fail "kdr --version says '$version'"
page=$(MANPATH="$unpacked/usr/share/man" MANWIDTH=80 man -P cat kdr 2>&1) || fail "man kdr: $page"
for text in 'kdr - work with a KDR' 'kdr download' 'kdr simulate' '--machine-id' 'EXIT STATUS' \
    'ENVIRONMENT' 'CREDENTIALS_DIRECTORY' 'FILES' 'tcp://HOST:PORT' 'rfc2217://HOST:PORT' \
    'SEE ALSO' '/usr/share/doc/kdr/STORE.md'; do
    grep -qF -- "$text" <<<"$page" || fail "the man page lacks '$text'"
done
# It cites the documentation where the package installs it, not in the sources.
! grep -qF 'docs/' <<<"$page" || fail "the man page cites a source path: $(grep -F 'docs/' <<<"$page")"
for doc in $(grep -oE '/usr/share/doc/kdr/[A-Z]+\.md' <<<"$page" | sort -u); do
    [ -f "$unpacked$doc" ] || fail "the man page cites $doc, which the package does not install"
done
# The units name the package's kdr and settings.
grep -qx 'ExecStart=/usr/bin/kdr collect --watch --erase $KDR_COLLECT_OPTIONS' \
    "$unpacked/lib/systemd/system/kdr-collect@.service" || fail "ExecStart of kdr-collect@.service"
grep -qx 'EnvironmentFile=/etc/kdr/collect.conf' "$unpacked/lib/systemd/system/kdr-collect-net@.service" ||
    fail "EnvironmentFile of kdr-collect-net@.service"
"$unpacked/usr/bin/kdr" demo --fast --records 3 >"$out/demo.out"
grep -q '^3 record(s) received' "$out/demo.out" || fail "kdr demo --fast: $(cat "$out/demo.out")"
# The development package serves the outside project as the install did.
cmake -S tests/consumer -B "$out/consumer-deb" -G Ninja -DCMAKE_PREFIX_PATH="$unpacked/usr" \
    "${consumer_inputs[@]}" >/dev/null
cmake --build "$out/consumer-deb" -j "$jobs" --target app >/dev/null

step "python3-kdr: import kdr, and the README's Python example"
dpkg-deb -x "$py_deb" "$unpacked"
# Debian's python3, as the package's dependency names it.
site=$unpacked/usr/lib/python3/dist-packages
module=$(cd / && PYTHONPATH="$site" /usr/bin/python3 -c 'import kdr; print(kdr.__file__)')
[ "${module#"$site"/}" != "$module" ] || fail "import kdr found $module, not the package's"
# Into a file first: grep -q, ending at the match, would break help's pipe.
PYTHONPATH="$site" /usr/bin/python3 -c 'import kdr; help(kdr.Reader)' >"$out/reader-help.txt"
grep -qF 'kdr.Reader("/dev/ttyUSB0", "1234")' "$out/reader-help.txt" || fail "help(kdr.Reader) lacks its example"
# The first Python block under "## Python", as it stands in the README.
awk '/^## /{python = ($0 == "## Python")}
     python && /^```python$/ {inside = 1; next}
     inside && /^```$/ {exit}
     inside {print}' README.md >"$out/readme_example.py"
start_simulator --password secret --fast --records 4
PYTHONPATH="$site" /usr/bin/python3 "$out/readme_example.py" "$device" >"$out/python-example.out" ||
    fail "the README's Python example failed"
[ "$(wc -l <"$out/python-example.out")" = 4 ] || fail "the Python example printed: $(cat "$out/python-example.out")"
cleanup
sims=()

echo "Package tests passed in ${SECONDS} s: release build and tests, install, consumer, Debian packages." >&2
