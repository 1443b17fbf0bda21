#!/usr/bin/env bash
# A real volume that fills up: a 40 MB ext4 image mounted on a loop device and mapped into the
# test prefix as drive Q:, for FaultsTest.ASmallVolumeFilledFromOutside. Needs root and loop
# devices (CI has both); skipped (77) without them.
# Arguments: the source tree, the build tree.
set -u
top=$1
build=$2
exe=$build/tests/filter/filter_faults_test.exe
[ -f "$exe" ] || { echo "SKIP: no $exe"; exit 77; }
[ "$(id -u)" -eq 0 ] && command -v losetup >/dev/null || { echo "SKIP: needs root and loop devices"; exit 77; }
. "$top/scripts/wine-env"
work=$(mktemp -d "$build/small-volume.XXXXXX")
drive="$WINEPREFIX/dosdevices/q:"
cleanup() {
  rm -f "$drive"
  mountpoint -q "$work/mnt" && umount "$work/mnt"
  rm -rf "$work"
}
trap cleanup EXIT
truncate -s 40M "$work/volume.img" && mkfs.ext4 -q -F -m 0 "$work/volume.img" || { echo "FAIL: mkfs"; exit 1; }
mkdir "$work/mnt"
mount -o loop "$work/volume.img" "$work/mnt" 2>"$work/mount-err" || { echo "SKIP: cannot mount: $(cat "$work/mount-err")"; exit 77; }
ln -sfn "$work/mnt" "$drive"
OVTS_SMALL_VOLUME='Q:\' "$top/scripts/wine-run" "$exe" --gtest_filter=FaultsTest.ASmallVolumeFilledFromOutside
