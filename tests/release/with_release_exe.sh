#!/usr/bin/env bash
# Runs a test program against the shipped 32-bit vestrel.exe instead of the
# test build's: with_release_exe.sh EXE COMMAND... runs COMMAND with
# "--vestrel-exe=EXE" (as Wine names it) added. Where this machine cannot
# run the 32-bit program, it says why and exits with 77, which CTest
# reports as a skipped test.
set -u
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
exe=$1
shift
skip() {
  echo "SKIPPED: $1"
  exit 77
}
why=$(bash "$ROOT/scripts/runs-32bit.sh") || skip "$why"
if ! dpkg-query -W -f='${Status}\n' wine32:i386 2>/dev/null | grep -q 'ok installed'; then
  # scripts/setup.sh keeps apt's reason when it could not install it.
  refused="$ROOT/build/wine32-refused.txt"
  [ -f "$refused" ] && skip "wine32 is not installed: $(cat "$refused")"
  skip "wine32 is not installed (scripts/setup.sh installs it on machines that run 32-bit programs)"
fi
[ -f "$exe" ] || skip "$exe is not built (cmake --build --preset release)"
# Wine's drive Z: is the Linux root.
exec "$@" "--vestrel-exe=Z:${exe//\//\\}"
