#!/usr/bin/env bash
# Junctions on a real NTFS driver: the engine's mount-point records are set on a fresh ntfs-3g
# volume and must lead to their targets, read through, and read back byte for byte. Wine cannot
# make junctions, so this is the check of their bytes that does not come from the simulation.
# Needs root, /dev/fuse and ntfs-3g; without them it says why and skips.
#   tests/ntfs/run.sh            (after cmake --build --preset native)
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/../.."
program=${CORVANE_NTFS_PROGRAM:-$PWD/build/native/bin/corvane_ntfs_junction}

skip() {
  echo "SKIP ntfs junctions: $*"
  exit 0
}
[[ $(id -u) -eq 0 ]] || skip "mounting through FUSE needs root"
[[ -c /dev/fuse ]] || skip "no /dev/fuse"
command -v mkntfs >/dev/null && command -v ntfs-3g >/dev/null ||
  skip "ntfs-3g is not installed (Debian package ntfs-3g)"
if [[ ! -x $program ]]; then
  echo "FAIL ntfs junctions: $program is not built (cmake --build --preset native)"
  exit 1
fi

work=$(mktemp -d)
volume=$work/volume.img
mount=$work/mnt
cleanup() {
  if mountpoint -q "$mount"; then
    umount "$mount" || { sleep 1 && umount "$mount"; } || umount -l "$mount" || true
  fi
  # Never delete through a mount that is still there.
  mountpoint -q "$mount" || rm -rf "$work"
}
trap cleanup EXIT

truncate -s 16M "$volume"
# mkntfs warns about the geometry of a plain file; only its status matters.
if ! mkntfs -F -q -f "$volume" >"$work/mkntfs.log" 2>&1; then
  cat "$work/mkntfs.log"
  echo "FAIL ntfs junctions: mkntfs failed"
  exit 1
fi
mkdir "$mount"
ntfs-3g "$volume" "$mount" 2>"$work/mount.log" ||
  skip "ntfs-3g cannot mount here: $(tr '\n' ' ' <"$work/mount.log")"

# ntfs-3g shows a junction to C:\x as a symlink to MOUNT/.NTFS-3G/C:/x; this makes C: the
# volume itself.
mkdir "$mount/.NTFS-3G"
ln -s "$mount" "$mount/.NTFS-3G/C:"

status=0
"$program" set "$mount" || status=1
# Remount before looking: the kernel still holds each link directory as the directory it was
# made as, and readlink on it fails with EINVAL until that is dropped. Reading back from a fresh
# mount also shows the records reached the volume.
umount "$mount"
if ! ntfs-3g "$volume" "$mount"; then
  echo "FAIL ntfs junctions: the volume does not mount again"
  exit 1
fi
"$program" check "$mount" || status=1
exit "$status"
