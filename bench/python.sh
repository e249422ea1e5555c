#!/usr/bin/env bash
# The Python module against the command: the same 10,000-record download
# from the reader simulator (fast: every answer at once), once by
# `kdr download --raw` and once by a Python program that opens kdr.Reader and
# reads every record's time and text into Python objects. Whole processes,
# in turn, the median of each; prints one Markdown row, as bench/run.sh does
# (each run's time on standard error).
#
# Usage: bench/python.sh KDR MODULE_DIR
#   KDR         the kdr program of an optimised build
#   MODULE_DIR  the folder of the built module kdr (build/release/python)
# Knobs (environment): KDR_PYTHON_RUNS (9), KDR_PYTHON_RECORDS (10000).
set -euo pipefail

if [ $# -lt 2 ] || [ ! -x "$1" ] || [ ! -d "$2" ]; then
    echo "usage: bench/python.sh KDR MODULE_DIR" >&2
    exit 2
fi
kdr=$(realpath "$1")
modules=$(realpath "$2")
runs=${KDR_PYTHON_RUNS:-9}
records=${KDR_PYTHON_RECORDS:-10000}

work=$(mktemp -d)
server=
cleanup() {
    if [ -n "$server" ]; then
        kill "$server" 2>/dev/null || true
        wait "$server" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

"$kdr" simulate --fast --records "$records" --password bench >"$work/device" 2>"$work/sim.log" &
server=$!
for _ in $(seq 100); do
    [ -s "$work/device" ] && break
    sleep 0.05
done
device=$(head -n 1 "$work/device")
[ -n "$device" ] || { cat "$work/sim.log" >&2; echo "bench/python.sh: no simulator" >&2; exit 1; }

echo "Timing $runs downloads of $records records each way (about $((runs * 3)) s)..." >&2
KDR="$kdr" DEVICE="$device" RUNS="$runs" RECORDS="$records" PYTHONPATH="$modules" \
    /usr/bin/python3 - <<'PYTHON'
import os
import statistics
import subprocess
import sys
import time

device, runs, records = os.environ["DEVICE"], int(os.environ["RUNS"]), int(os.environ["RECORDS"])
command = [os.environ["KDR"], "download", "--port", device, "--password", "bench", "--raw",
           "-o", "/dev/null"]
program = f"""
import kdr
with kdr.Reader({device!r}, "bench") as reader:
    download = reader.download()
values = [(record.time, record.text) for record in download.records]
assert len(values) == {records}, len(values)
"""
python = [sys.executable, "-c", program]


def timed(args):
    began = time.monotonic()
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - began


timed(command), timed(python)  # warm-up: caches, the simulator's first answer
cxx, py = [], []
for _ in range(runs):
    a, b = timed(command), timed(python)
    cxx.append(a)
    py.append(b)
print("kdr download:", " ".join(f"{t:.3f}" for t in cxx), file=sys.stderr)
print("Python:      ", " ".join(f"{t:.3f}" for t in py), file=sys.stderr)


# A fast answer outruns the pseudo-terminal's buffer; when a read finds the
# buffer empty before the simulator refills it, the engine waits its 0.3 s of
# silence and then reads on. That step falls on either program at random and
# is no cost of either: each one's median is taken over its runs without it.
def undisturbed(times):
    return [t for t in times if t < min(times) + 0.15]


a, b = undisturbed(cxx), undisturbed(py)
ratio = statistics.median(b) / statistics.median(a)
print(f"| Python: {records:,} records downloaded into objects / `kdr download --raw`, "
      f"median wall (fast simulator; {len(b)} and {len(a)} of {runs} runs without a 0.3 s "
      f"silence wait) | {statistics.median(b):.3f} s / {statistics.median(a):.3f} s "
      f"(x{ratio:.3f}) | at most x1.05 | {'yes' if ratio <= 1.05 else '**no**'} |")
PYTHON
