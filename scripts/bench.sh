#!/usr/bin/env bash
# Builds what the benchmark needs and runs it: vestrel.exe's extraction
# speed against bare libzip loops and Info-ZIP, its memory on a 300 MiB
# entry, the wait's cost and restart delay, and its start-up. Takes about
# ten minutes; the figures in README.md come from it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
cmake --preset test >/dev/null
cmake --build --preset test --target vestrel stand_in raw_extract minimal wait_bench
exec /usr/bin/python3 scripts/bench.py
