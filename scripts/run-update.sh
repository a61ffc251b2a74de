#!/usr/bin/env bash
# Sets up what is missing and builds the shipped 32-bit vestrel.exe.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
file build/release/vestrel.exe 2>/dev/null || ls -l build/release/vestrel.exe
