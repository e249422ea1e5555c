#!/usr/bin/env bash
# Installs what the Windows control's cross build and its Wine tests need,
# when it is missing: the mingw-w64 cross compilers and widl, Wine for 64 and
# 32 bits (with the IDL files of libwine-dev), Xvfb, and Python 3 for a build step.
# Usage: scripts/windows-deps.sh
set -euo pipefail

SUDO=
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
fi
export DEBIAN_FRONTEND=noninteractive

installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

want=(mingw-w64 mingw-w64-tools wine64 libwine-dev xvfb xauth cmake ninja-build
      libfmt-dev python3)
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

[ ${#missing[@]} -eq 0 ] && [ "$need_i386" -eq 0 ] && exit 0

if [ "$need_i386" -eq 1 ]; then
    $SUDO dpkg --add-architecture i386
fi
echo "windows-deps: installing ${missing[*]}" >&2
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
