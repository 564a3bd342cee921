#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# qim@.service under the running systemd: an instance attaches a VMware 4 disk
# from /etc/qim/NAME.conf; a stop waits while the node is mounted and, after
# the unmount, ends with the node gone and the image clean.
# usage: ServiceTest.sh PREFIX (an install of the build)
set -uo pipefail
prefix=$1
name=qimtest$$
work=$(mktemp -d)
unit=/run/systemd/system/qim@.service
trap 'umount "$work/mnt"; systemctl stop "qim@$name"; rm -rf "$unit" "/etc/qim/$name.conf" "$work"
      systemctl daemon-reload' EXIT
fail() { echo "FAILED: $1"; journalctl -u "qim@$name" --no-pager | tail -20; exit 1; }

cp "$prefix/lib/systemd/system/qim@.service" "$unit"
mkdir -p /etc/qim "$work/mnt"
truncate -s 24M "$work/disk.raw"
echo "2048,,83" | sfdisk -q "$work/disk.raw" || fail "sfdisk"
mkfs.ext2 -q -F -E offset=$((2048 * 512)) "$work/disk.raw" 22M || fail "mkfs.ext2"
qemu-img convert -f raw -O vmdk -o hwversion=3,adapter_type=ide,subformat=monolithicSparse \
  "$work/disk.raw" "$work/disk.vmdk" || fail "qemu-img convert"
printf 'IMAGE=%s\nPARTITION=1\nREAD_ONLY=no\n' "$work/disk.vmdk" >"/etc/qim/$name.conf"
systemctl daemon-reload && systemctl start "qim@$name" || fail "start"
QIM_DEVICE=/dev/qim-$name "$prefix/sbin/qimc" s | grep -q " rw .*$work/disk.vmdk" || fail "not attached"
mount -o loop "/dev/qim-$name" "$work/mnt" || fail "mount of the node"
systemctl stop --no-block "qim@$name" && sleep 2 && systemctl is-active -q "qim@$name" || fail "stopped while mounted"
journalctl -u "qim@$name" --no-pager | grep -q "is in use" || fail "no word in the journal"
umount "$work/mnt" || fail "umount"
for _ in $(seq 50); do systemctl is-active -q "qim@$name" || break; sleep 0.2; done
systemctl is-active -q "qim@$name" && fail "still running after the unmount"
[ -e "/dev/qim-$name" ] && fail "node left behind"
"$prefix/bin/qimg" check "$work/disk.vmdk" >/dev/null || fail "the image does not check clean"
exit 0
