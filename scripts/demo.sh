#!/usr/bin/env bash
# Builds the command-line tool and runs a download from the built-in reader
# simulator: no reader or serial port needed. Only the demo's output goes to
# standard output (`scripts/demo.sh --format json | python3 -m json.tool`);
# the build's goes to standard error.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh linux
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target kdr >&2
exec build/release/cli/kdr demo "$@"
