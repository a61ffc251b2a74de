#!/usr/bin/env bash
# Sets up what is missing, builds the shipped 32-bit vestrel.exe and the
# 64-bit test build, and runs every test (the Windows ones under Wine).
#
# The servers the run starts for its desktops (tests/desktops.json: an Xvfb
# on display :77+N and a Wine server for the prefix build/wine/desktop-N)
# end with it, whether it passes, fails or is interrupted; those that were
# running before it began are left alone.
set -euo pipefail
cd "$(dirname "$0")/.."

DESKTOPS=(0 1)

xvfb_of() { pgrep -f "^Xvfb :$((77 + $1)) " || true; }

# A Wine server works in the folder that its prefix's device and inode
# name; a running one is known by that folder.
wine_server_dir() {
  local prefix="$PWD/build/wine/desktop-$1"
  [ -d "$prefix" ] || return 0
  printf '/tmp/.wine-%s/server-%x-%x' "$(id -u)" $(stat -c '%d %i' "$prefix")
}
wine_server_of() {
  local dir pid
  dir=$(wine_server_dir "$1")
  [ -n "$dir" ] || return 0
  for pid in $(pgrep '^wineserver' || true); do
    if [ "$(readlink "/proc/$pid/cwd" 2>/dev/null)" = "$dir" ]; then echo "$pid"; fi
  done
}

declare -A xvfb_before wine_before
for n in "${DESKTOPS[@]}"; do
  xvfb_before[$n]=$(xvfb_of "$n")
  wine_before[$n]=$(wine_server_of "$n")
done

stop_what_the_run_started() {
  local n pid
  for n in "${DESKTOPS[@]}"; do
    if [ -z "${wine_before[$n]}" ] && [ -n "$(wine_server_of "$n")" ]; then
      WINEPREFIX="$PWD/build/wine/desktop-$n" wineserver -k 2>/dev/null || true
    fi
    pid=$(xvfb_of "$n")
    if [ -z "${xvfb_before[$n]}" ] && [ -n "$pid" ]; then
      kill $pid 2>/dev/null || true
    fi
  done
}
trap stop_what_the_run_started EXIT
trap 'exit 130' INT TERM

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
cmake --preset test >/dev/null
cmake --build --preset test
status=0
ctest --preset test "$@" || status=$?
# CTest lists skipped tests without their reasons; the log has them.
grep -h '^SKIPPED: ' build/test/Testing/Temporary/LastTest.log 2>/dev/null | sort -u || true
if [ -f build/wine32-refused.txt ]; then
  echo "The shipped 32-bit vestrel.exe was not run: $(cat build/wine32-refused.txt)"
fi
exit $status
