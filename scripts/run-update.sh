#!/usr/bin/env bash
# The program's main job, for real, under Wine: a stand-in patcher runs
# with an update archive beside it; vestrel.exe (run mode 2) waits for the
# patcher to end, unpacks the archive, deletes it and restarts the patcher.
# Sets up what is missing and builds the shipped 32-bit vestrel.exe, which
# the run uses where the machine runs 32-bit programs; elsewhere it uses the
# 64-bit build of the same sources and says so.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
cmake --preset test >/dev/null
cmake --build --preset test --target vestrel stand_in

if why=$(bash scripts/runs-32bit.sh); then
  VESTREL="$ROOT/build/release/vestrel.exe"
  echo "== using the shipped 32-bit vestrel.exe"
else
  VESTREL="$ROOT/build/test/vestrel.exe"
  echo "== using the 64-bit build: $why"
fi

DEMO="$ROOT/build/demo"
rm -rf "$DEMO"
mkdir -p "$DEMO/staging/maps" "$DEMO/staging/docs"
cp build/test/tests/stand_in.exe "$DEMO/patcher.exe"
cp build/test/tests/stand_in.exe "$DEMO/staging/patcher.exe"
printf 'version 2 of the first map\n' > "$DEMO/staging/maps/first.map"
printf 'What is new in version 2.\n' > "$DEMO/staging/docs/changes.txt"
(cd "$DEMO/staging" && zip -q -r ../update.zip .)
rm -rf "$DEMO/staging"

cd "$DEMO"
echo "== the patcher runs for 3 seconds; vestrel.exe 2 update.zip patcher.exe"
"$ROOT/scripts/wine-run.sh" patcher.exe --sleep 3000 &
patcher=$!
# The stand-in notes each start in patcher.exe.record: wait for the first.
for _ in $(seq 1 100); do [ -s patcher.exe.record ] && break; sleep 0.1; done

set +e
"$ROOT/scripts/wine-run.sh" "$VESTREL" 2 update.zip patcher.exe > vestrel-stdout.txt
status=$?
set -e
wait "$patcher" || true
for _ in $(seq 1 100); do [ "$(wc -l < patcher.exe.record)" -ge 2 ] && break; sleep 0.1; done

echo "== exit code: $status"
echo "== vestrel_logs.txt"
cat vestrel_logs.txt
echo "== standard output"
cat vestrel-stdout.txt
echo
echo "== files in $DEMO"
find . -type f ! -name 'vestrel-stdout.txt' | sort
echo "== patcher starts (the second is the restart)"
cat patcher.exe.record
[ "$status" -eq 0 ] && [ ! -e update.zip ] && [ "$(wc -l < patcher.exe.record)" -ge 2 ]
