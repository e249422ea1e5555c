#!/usr/bin/env bash
# Checks formatting (clang-format) and runs clang-tidy over the project's own
# sources, using the dev build's compile commands.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/ensure-deps.sh lint
[ -f build/dev/compile_commands.json ] || { cmake --preset dev >/dev/null; }

mapfile -t sources < <(git ls-files '*.cpp' '*.hpp' | grep -vE '^(samples|tests/windows|platform/win32|registration|control/activex|fuzz)/')
clang-format --dry-run --Werror "${sources[@]}"

# The arrows between the parts, as docs/ARCHITECTURE.md draws them.
python3 scripts/check-arrows.py

mapfile -t units < <(printf '%s\n' "${sources[@]}" | grep -E '^(base|protocol|platform|engine|control|reader|simulator|store|collect|writers|web|cli|python)/.*\.cpp$')
# The compile commands are g++'s: clang-tidy passes over the warning options only g++ knows.
run-clang-tidy -quiet -extra-arg=-Wno-unknown-warning-option -p build/dev "${units[@]}" 2>&1 | grep -E '(warning|error):' && exit 1
echo "Lint clean." >&2
