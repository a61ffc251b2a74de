#!/usr/bin/env bash
# Builds what the benchmark needs and runs it: vestrel.exe's extraction
# speed against bare libzip loops and Info-ZIP on two archives, where its
# time goes (builds of it that leave one part out), its memory on a 300 MiB
# entry, the wait's cost, its restart against a bare polling loop, its
# start-up, and its own CPU work per entry against the durable loop on small
# entries, on a tmpfs and on the disk. Takes about an hour; the figures in
# README.md and docs/speed.md come from it. "scripts/bench.sh small"
# measures only the small entries, in 3 rounds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
cmake --preset test >/dev/null
cmake --build --preset test --target vestrel stand_in raw_extract minimal wait_bench poll_restart \
  extract_only vestrel_without_flush vestrel_without_reports vestrel_without_debugger vestrel_without_journal \
  vestrel_without_queries
exec /usr/bin/python3 scripts/bench.py "$@"
