#!/usr/bin/env bash
# Builds the release vestrel.exe a second time and compares it byte for
# byte with the one given:
#
#   check_reproducible.sh RELEASE_EXE WORK_DIR
#
# The second build is a clean one of the release preset (its toolchain
# file and build type), from a copy of the sources at another path, into a
# build folder of another name, later than the first; it reuses the static
# libraries of build/deps. It gets the SOURCE_DATE_EPOCH that the first
# build's configuration recorded. Both programs must carry that PE time
# stamp, and the build must print the SHA-256 of what it made.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
exe=$1
work=$2

fail() {
  echo "FAIL: $*"
  exit 1
}

# The TimeDateStamp of a PE file: at offset 8 of the header that the DOS
# header's e_lfanew (offset 0x3c) points at.
pe_time_stamp() {
  local header
  header=$(od -An -tu4 --endian=little -j 60 -N 4 "$1" | tr -d ' ')
  [ "$(od -An -c -j "$header" -N 2 "$1" | tr -d ' ')" = PE ] || fail "$1 has no PE header"
  od -An -tu4 --endian=little -j $((header + 8)) -N 4 "$1" | tr -d ' '
}

[ -f "$exe" ] || fail "$exe is not built (cmake --build --preset release)"
cache="$(dirname "$exe")/CMakeCache.txt"
stamp=$(sed -n 's/^VESTREL_PE_TIME_STAMP:INTERNAL=//p' "$cache" 2>/dev/null || true)
[ -n "$stamp" ] || fail "$cache records no PE time stamp (cmake --preset release)"

rm -rf "$work"
src="$work/second-checkout"
mkdir -p "$src/build"
tar -C "$ROOT" --exclude=./build --exclude=./.git -cf - . | tar -C "$src" -xf -
ln -s "$ROOT/build/deps" "$src/build/deps"

environment=(-u SOURCE_DATE_EPOCH)
[ "$stamp" = 0 ] || environment+=("SOURCE_DATE_EPOCH=$stamp")
if ! (cd "$src" && env "${environment[@]}" cmake --preset release -B "$work/build") >"$work/configure.log" 2>&1; then
  cat "$work/configure.log"
  fail "the second configuration failed"
fi
if ! env "${environment[@]}" cmake --build "$work/build" -j 2 >"$work/build.log" 2>&1; then
  cat "$work/build.log"
  fail "the second build failed"
fi
second="$work/build/vestrel.exe"

first_sha=$(sha256sum "$exe" | cut -d ' ' -f 1)
second_sha=$(sha256sum "$second" | cut -d ' ' -f 1)
echo "first build:  $first_sha  $exe"
echo "second build: $second_sha  $second"

status=0
grep -qxF "$second_sha  $second" "$work/build.log" || {
  echo "FAIL: the build did not print the SHA-256 of $second:"
  cat "$work/build.log"
  status=1
}
for file in "$exe" "$second"; do
  found=$(pe_time_stamp "$file")
  [ "$found" = "$stamp" ] || {
    echo "FAIL: $file has the PE time stamp $found, not $stamp"
    status=1
  }
done
if ! cmp -s "$exe" "$second"; then
  echo "FAIL: the two builds differ in $(cmp -l "$exe" "$second" 2>/dev/null | wc -l) bytes" \
       "(sizes $(stat -c %s "$exe") and $(stat -c %s "$second")); the first ones (offset, octal values):"
  cmp -l "$exe" "$second" 2>/dev/null | head -n 8 || true
  status=1
fi
[ "$status" = 0 ] && echo "the same $(stat -c %s "$exe") bytes from both builds"
exit $status
