#!/usr/bin/env bash
# Runs test programs with their folders on a FAT32 or an exFAT volume, where
# a game on a USB drive lives:
#
#   on_volume.sh fat32|exfat COMMAND... [--then COMMAND...]... [--vestrel-exe=EXE]
#
# The volume is an image of its own, mounted through FUSE (fusefat;
# exfat-fuse through a loop device). Neither makes hard links, so the
# updater takes its copy path there. FUSE numbers files anew at every
# mount, so a folder's id does not survive a remount here, as it does on
# Windows. Every command runs with
#   VESTREL_TEST_WORK_ROOT  a folder on the volume, as Windows programs name
#                           it, where the tests make their working folders;
#   VESTREL_TEST_VOLUME     fat32 or exfat;
# and on FAT32 also
#   VESTREL_TEST_REMOUNT    a script that mounts the volume again with the
#                           time zone given as its first argument (FAT keeps
#                           local time), and then writes "remounted" to the
#                           file named by its second.
# A trailing --vestrel-exe= argument goes to every command. Where mounting is
# refused (not root, no /dev/fuse, no tools) it says why and exits with 77,
# which CTest reports as a skipped test. The volume is unmounted however the
# commands end, also when the run is interrupted.
set -u
kind=$1
shift
skip() {
  echo "SKIPPED: the $kind tests: $1"
  exit 77
}
windows_name() { printf 'Z:%s' "${1//\//\\}"; }

[ "$(id -u)" -eq 0 ] || skip "mounting a volume through FUSE needs root"
[ -c /dev/fuse ] || skip "this machine has no /dev/fuse"
case $kind in
  fat32) tools=(mkfs.vfat fusefat) ;;
  exfat) tools=(mkfs.exfat mount.exfat-fuse losetup) ;;
  *) echo "unknown volume kind: $kind" >&2; exit 2 ;;
esac
for tool in "${tools[@]}"; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/setup.sh installs it)"
done

work=$(mktemp -d "/tmp/vestrel-$kind.XXXXXX")
image=$work/volume.img
mnt=$work/volume
loop=
mkdir "$mnt"

cleanup() {
  if mountpoint -q "$mnt"; then
    umount "$mnt" 2>/dev/null || umount -l "$mnt"
  fi
  [ -n "$loop" ] && losetup -d "$loop" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

case $kind in
  fat32)
    # fusefat mixes up the entries of a folder that spans more than one
    # cluster: 32 KiB clusters keep each of the tests' folders in one (a
    # sparse 4 GiB image, the least that FAT32 takes with them).
    truncate -s 4G "$image"
    mkfs.vfat -F 32 -s 64 "$image" >/dev/null
    # One thread: fusefat loses its way with two requests at once.
    mount_volume() { TZ=$1 fusefat -s -o rw+ "$image" "$mnt" >/dev/null 2>&1; }
    ;;
  exfat)
    truncate -s 256M "$image"
    mkfs.exfat "$image" >/dev/null
    loop=$(losetup -f --show "$image" 2>/dev/null) || skip "no loop device could be set up"
    mount_volume() { mount.exfat-fuse "$loop" "$mnt" >/dev/null 2>&1; }
    ;;
esac
mount_volume UTC0 && mountpoint -q "$mnt" || skip "mounting the $kind image through FUSE was refused"
mkdir "$mnt/tests"

export VESTREL_TEST_VOLUME=$kind
export VESTREL_TEST_WORK_ROOT
VESTREL_TEST_WORK_ROOT=$(windows_name "$mnt/tests")
if [ "$kind" = fat32 ]; then
  cat > "$work/remount.sh" <<EOF
#!/usr/bin/env bash
# Mounts the FAT32 volume again, its times read in time zone \$1. A
# program that has just ended may hold it a moment longer: tried for 10 s.
cd /
for _ in \$(seq 1 100); do
  out=\$(umount "$mnt" 2>&1) && break
  sleep 0.1
done
if mountpoint -q "$mnt"; then
  echo "unmounting failed: \$out" > "\$2"
  exit 1
fi
if TZ="\$1" fusefat -s -o rw+ "$image" "$mnt" >/dev/null 2>&1; then
  echo remounted > "\$2"
else
  echo "mounting failed" > "\$2"
fi
EOF
  chmod +x "$work/remount.sh"
  export VESTREL_TEST_REMOUNT
  VESTREL_TEST_REMOUNT=$(windows_name "$work/remount.sh")
fi

# The commands, split at --then, each given the trailing --vestrel-exe=.
exe_arg=()
args=("$@")
last=${args[${#args[@]}-1]}
if [[ $last == --vestrel-exe=* ]]; then
  exe_arg=("$last")
  unset 'args[${#args[@]}-1]'
fi
status=0
command=()
run() {
  [ ${#command[@]} -gt 0 ] || return 0
  "${command[@]}" "${exe_arg[@]}" || status=$?
  command=()
}
for arg in "${args[@]}"; do
  if [ "$arg" = --then ]; then
    run
  else
    command+=("$arg")
  fi
done
run
exit $status
