#!/usr/bin/env bash
# Installs the Debian packages a build needs, when they are missing.
# Usage: scripts/ensure-deps.sh [linux|fuzz|lint|browser|windows]...   (default: linux)
set -euo pipefail

want=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev libfmt-dev libcli11-dev
      nlohmann-json3-dev libbenchmark-dev libsqlite3-dev libpq-dev
      help2man man-db dpkg-dev file    # the man page, and the Debian packages and their test
      systemd                          # systemd-analyze verify of the station's units
      postgresql                       # the server the store tests start for themselves
      ser2net                          # the device server the network tests start
      pybind11-dev python3-dev python3-pytest  # the Python module and its tests
      libboost-dev libkainjow-mustache-dev libjs-chart.js    # kdr serve
      libcpp-httplib-dev)                                    # its load bench
for extra in "$@"; do
    case "$extra" in
        linux) ;;
        fuzz) want+=(clang libclang-rt-14-dev) ;;
        lint) want+=(clang-format clang-tidy) ;;
        browser) want+=(chromium chromium-driver python3-selenium python3-prometheus-client fonts-dejavu-core) ;;  # kdr serve's tests
        windows) want+=(mingw-w64 mingw-w64-tools wine64 libwine-dev xvfb xauth socat) ;;
        *) echo "ensure-deps: unknown set '$extra'" >&2; exit 2 ;;
    esac
done

missing=()
for pkg in "${want[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$pkg")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}" >&2
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
