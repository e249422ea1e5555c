#!/usr/bin/env bash
# Builds and runs every test:
#   1. the debug build's unit, pty and end-to-end tests;
#   2. the same tests under AddressSanitizer and UndefinedBehaviorSanitizer;
#   3. the release build and its tests, the install, an outside project built
#      against the installed CMake package, and the Debian packages
#      (scripts/package-test.sh);
#   4. the Windows control, cross-built for x86-64 and i686 and tested under
#      Wine in a virtual X display (registration, automation, hosting, the
#      property page, end to end against the reader simulator).
# Warnings are errors in every build here. Installs what it needs when missing.
# Set KDR_SKIP_WINDOWS=1 to leave out step 4.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/on-error.sh test

# Each stage says when it begins; the end shows how long each took, so that
# the run's time can be kept in view.
stages=()
stage_began=$SECONDS
stage_name=
stage() {
    if [ -n "$stage_name" ]; then
        stages+=("$(printf '%6d s  %s' $((SECONDS - stage_began)) "$stage_name")")
    fi
    stage_name=$1
    stage_began=$SECONDS
    [ -z "$1" ] || echo "== $1 (at ${SECONDS} s) ==" >&2
}

stage "dependencies"
scripts/ensure-deps.sh linux browser
jobs=$(nproc)

for preset in dev asan; do
    stage "$preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
    stage "$preset: tests"
    ctest --preset "$preset" -j "$jobs"
    # ctest keeps a passing test's output to itself: pytest's summary of the
    # Python module's tests (label python) is shown from its log.
    echo "== $preset: Python module (pytest) ==" >&2
    grep -E '^=* ?[0-9]+ (passed|failed|error)' "build/$preset/Testing/Temporary/LastTest.log" ||
        echo "no pytest summary: the Python module was not built (KDR_PYTHON off)" >&2
done

stage "release, install and packages"
scripts/package-test.sh

if [ "${KDR_SKIP_WINDOWS:-0}" != 1 ]; then
    stage "Windows control under Wine"
    # Warnings are errors in the Windows builds too (their presets leave them
    # off for users): set once in their caches, kept by windows-test.sh.
    scripts/windows-deps.sh
    for preset in mingw64 mingw32; do
        cmake --preset "$preset" -DKDR_WERROR=ON >/dev/null
    done
    KDR_LINUX_TOOL="$PWD/build/dev/cli/kdr" scripts/windows-test.sh
fi
stage ""
echo "== time of each stage ==" >&2
printf '%s\n' "${stages[@]}" >&2
echo "All tests passed in ${SECONDS} s." >&2
