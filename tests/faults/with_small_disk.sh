#!/usr/bin/env bash
# Runs a command with a 1 MiB tmpfs mounted for it, named in
# VESTREL_TEST_SMALL_DISK as Windows programs see it (Wine's drive Z: is the
# Linux root). Where mounting is refused, the command runs without it and
# the full-disk test says that it was skipped.
set -u
dir=$(mktemp -d /tmp/vestrel-small-disk.XXXXXX)
mounted=
if mount -t tmpfs -o size=1m tmpfs "$dir" 2>/dev/null; then
  mounted=1
  export VESTREL_TEST_SMALL_DISK="Z:${dir//\//\\}"
else
  echo "mounting a 1 MiB tmpfs was refused: the full-disk test is skipped"
fi
"$@"
status=$?
[ -n "$mounted" ] && umount "$dir"
rmdir "$dir"
exit $status
