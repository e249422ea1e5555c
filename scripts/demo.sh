#!/usr/bin/env bash
# Builds the command-line tool and runs a download from the built-in reader
# simulator: no reader or serial port needed.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh linux
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target kdr
exec build/release/cli/kdr demo "$@"
