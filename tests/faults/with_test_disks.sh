#!/usr/bin/env bash
# Runs a command with three small file systems mounted for it, named as
# Windows programs see them (Wine's drive Z: is the Linux root):
#   VESTREL_TEST_SMALL_DISK      a 1 MiB tmpfs, to fill;
#   VESTREL_TEST_READ_ONLY_DISK  a read-only tmpfs holding game.dat
#                                ("game data"), a folder nobody can write to;
#   VESTREL_TEST_DENIED_FOLDER   a folder holding game.dat ("game data") that
#                                is immutable (chattr +i), so that even root
#                                is denied a new file there, as a player is in
#                                a folder without the right to write. It is
#                                on a tmpfs of its own: a run killed before
#                                its cleanup leaves a mount, which the next
#                                boot ends, not a folder no cleaner removes.
# Where mounting is refused, the command runs without them and the tests
# that need them say that they were skipped.
set -u
small=$(mktemp -d /tmp/vestrel-small-disk.XXXXXX)
readonly_dir=$(mktemp -d /tmp/vestrel-read-only-disk.XXXXXX)
denied_disk=$(mktemp -d /tmp/vestrel-denied-folder.XXXXXX)
denied=$denied_disk/game
mounted=()
windows_name() { printf 'Z:%s' "${1//\//\\}"; }
# The disks go however the command ends, also when the run is interrupted.
cleanup() {
  local dir
  chattr -i "$denied" 2>/dev/null
  for dir in "${mounted[@]}"; do umount "$dir" 2>/dev/null || umount -l "$dir"; done
  rmdir "$small" "$readonly_dir" "$denied_disk" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
if mount -t tmpfs -o size=1m tmpfs "$small" 2>/dev/null; then
  mounted+=("$small")
  export VESTREL_TEST_SMALL_DISK=$(windows_name "$small")
else
  echo "mounting a 1 MiB tmpfs was refused: the full-disk test is skipped"
fi
if mount -t tmpfs -o size=64k tmpfs "$readonly_dir" 2>/dev/null; then
  mounted+=("$readonly_dir")
  printf 'game data' > "$readonly_dir/game.dat"
  if mount -o remount,ro "$readonly_dir" 2>/dev/null; then
    export VESTREL_TEST_READ_ONLY_DISK=$(windows_name "$readonly_dir")
  fi
fi
[ -n "${VESTREL_TEST_READ_ONLY_DISK:-}" ] ||
  echo "mounting a read-only tmpfs was refused: the unwritable-folder test is skipped"
if mount -t tmpfs -o size=64k tmpfs "$denied_disk" 2>/dev/null; then
  mounted+=("$denied_disk")
  mkdir "$denied" && printf 'game data' > "$denied/game.dat"
  chattr +i "$denied" 2>/dev/null && export VESTREL_TEST_DENIED_FOLDER=$(windows_name "$denied")
fi
[ -n "${VESTREL_TEST_DENIED_FOLDER:-}" ] ||
  echo "a tmpfs with an immutable folder could not be made: the denied-folder case is left out"
"$@"
