#!/usr/bin/env bash
# Installs what the Windows cross builds and their Wine tests need, when it
# is missing: the mingw-w64 cross compilers and widl, Wine for 64 and 32 bits
# (with the IDL files of libwine-dev), Xvfb, Python 3 for a build step, the
# header-only libraries kdr.exe compiles in, and, with --kdr-exe, SQLite's
# amalgamation, which Debian does not build for mingw-w64: fetched from the
# npm registry (the package better-sqlite3 carries it) by exact version, its
# SHA-256 checked, into build/deps/sqlite3 (never committed).
# Usage: scripts/windows-deps.sh [--kdr-exe]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

sqlite_package=better-sqlite3-12.11.1.tgz  # SQLite 3.53.2
sqlite_sha256=ebf0ed75a7a59dbcb3b24bbd014ef49d9f15bc328e4adcbf516f2a8fadfa2835
sqlite_dir=${KDR_SQLITE_AMALGAMATION:-$root/build/deps/sqlite3}

fetch_sqlite() {
    [ "${1:-}" = --kdr-exe ] || return 0
    [ -f "$sqlite_dir/sqlite3.c" ] && return 0
    local work
    work=$(mktemp -d)
    echo "windows-deps: fetching SQLite's amalgamation ($sqlite_package)" >&2
    curl -sSfL --retry 3 -o "$work/$sqlite_package" \
        "https://registry.npmjs.org/better-sqlite3/-/$sqlite_package"
    if ! echo "$sqlite_sha256  $work/$sqlite_package" | sha256sum -c --quiet -; then
        rm -rf "$work"
        echo "windows-deps: $sqlite_package is not the file expected (SHA-256 differs)" >&2
        exit 1
    fi
    tar -xzf "$work/$sqlite_package" -C "$work" package/deps/sqlite3/sqlite3.c \
        package/deps/sqlite3/sqlite3.h
    mkdir -p "$sqlite_dir"
    mv "$work/package/deps/sqlite3/sqlite3.c" "$work/package/deps/sqlite3/sqlite3.h" "$sqlite_dir/"
    rm -rf "$work"
}

SUDO=
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
fi
export DEBIAN_FRONTEND=noninteractive

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

want=(mingw-w64 mingw-w64-tools wine64 libwine-dev xvfb xauth cmake ninja-build
      libfmt-dev python3 curl ca-certificates libpq-dev)
missing=()
for pkg in "${want[@]}"; do
    installed "$pkg" || missing+=("$pkg")
done

# 32-bit hosts load only 32-bit controls: the i686 build is tested on wine32.
need_i386=0
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    need_i386=1
fi
installed wine32:i386 || missing+=(wine32:i386)

if [ ${#missing[@]} -eq 0 ] && [ "$need_i386" -eq 0 ]; then
    fetch_sqlite "${1:-}"
    exit 0
fi

if [ "$need_i386" -eq 1 ]; then
    $SUDO dpkg --add-architecture i386
fi
echo "windows-deps: installing ${missing[*]}" >&2
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fetch_sqlite "${1:-}"
