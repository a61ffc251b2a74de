#!/usr/bin/env bash
# Takes docs/progress-window.png: the progress window under Xvfb while
# vestrel.exe waits for a stand-in patcher. Needs the test build
# (scripts/test.sh or scripts/run-update.sh) and ImageMagick's import.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
# wine-run.sh runs it on its desktop 0: its own Xvfb at :77, 1920x1080.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$ROOT/build/test/tests/stand_in.exe" patcher.exe
"$ROOT/scripts/wine-run.sh" patcher.exe --sleep 4000 &
for _ in $(seq 1 100); do [ -s patcher.exe.record ] && break; sleep 0.1; done
"$ROOT/scripts/wine-run.sh" "$ROOT/build/test/vestrel.exe" 5 - patcher.exe &
sleep 2
import -display :77 -window root -crop 500x100+710+490 +repage "$ROOT/docs/progress-window.png"
wait
echo "docs/progress-window.png written"
