#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job, on a fresh machine, as root: installs what is needed, builds,
# makes a small disk image (PC/AT partition table, one ext2 partition holding a
# few files), serves it with qim on a temporary node, mounts the partition
# read-write with qimc, mounts the node, lists and changes a file, unmounts
# everything, stops qim and shows that the image file holds the change.
# QIM_DEMO_DIR=DIR keeps the image and the log in DIR.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: run as root (mount, loop devices and FUSE need it)" >&2
  exit 1
fi

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target qim qimc
qim=$PWD/build/host/qim
qimc=$PWD/build/user/qimc

if [ -n "${QIM_DEMO_DIR:-}" ]; then
  work=$QIM_DEMO_DIR
  mkdir -p "$work"
  keep=1
else
  work=$(mktemp -d /tmp/qim-demo.XXXXXX)
  keep=0
fi
node=$work/qim0
mnt=$work/mnt
image=$work/disk.img
mkdir -p "$mnt"
qim_pid=

cleanup() {
  set +e
  mountpoint -q "$mnt" && umount "$mnt"
  if [ -n "$qim_pid" ] && kill -0 "$qim_pid" 2>/dev/null; then
    kill -TERM "$qim_pid"
    timeout 30 tail --pid="$qim_pid" -f /dev/null
  fi
  mountpoint -q "$node" && umount -l "$node"
  [ "$keep" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }

step "a 32 MiB disk image: PC/AT table, partition 1 = ext2 from sector 2048"
start=2048
total=65536
truncate -s $((total * 512)) "$image"
printf 'label: dos\nunit: sectors\n%d,,83\n' "$start" | sfdisk -q "$image"
files=$work/files
mkdir -p "$files/docs"
echo "Hello from inside a disk image." >"$files/hello.txt"
echo "QIM serves emulator and VM disk images as block devices." >"$files/docs/readme.txt"
seq 1 1000 >"$files/numbers.txt"
mke2fs -q -F -t ext2 -b 1024 -E offset=$((start * 512)) -d "$files" "$image" $(((total - start) / 2))k
sfdisk -l "$image"

step "qim --node $node"
"$qim" --node "$node" 2>"$work/qim.log" &
qim_pid=$!
for _ in $(seq 100); do mountpoint -q "$node" && break; sleep 0.1; done
mountpoint -q "$node" || { echo "demo: qim did not come up" >&2; cat "$work/qim.log" >&2; exit 1; }
ls -l "$node"

step "qimc m disk.img h a 0 512 $total 16 63 1   (raw PC/AT disk, partition 1, read-write)"
status=0
QIM_DEVICE=$node "$qimc" m "$image" h a 0 512 "$total" 16 63 1 || status=$?
echo "qimc exit status $status (the partition's system id, 0x83 = 131)"
[ "$status" -eq 131 ]
ls -l "$node"

step "mount $node $mnt"
mount "$node" "$mnt"
ls -lR "$mnt"
cat "$mnt/hello.txt"

step "change a file"
echo "Changed through /dev/qim0 at $(date -u +%FT%TZ)." >>"$mnt/hello.txt"
cat "$mnt/hello.txt"

step "umount, qimc u, stop qim"
umount "$mnt"
QIM_DEVICE=$node "$qimc" u
kill -TERM "$qim_pid"
timeout 30 tail --pid="$qim_pid" -f /dev/null
qim_pid=
echo "qim's log:"
cat "$work/qim.log"

step "the image file holds the change"
debugfs -R "cat /hello.txt" "$image?offset=$((start * 512))" 2>/dev/null
e2fsck -fn "$image?offset=$((start * 512))"
grep -q "Changed through" <(debugfs -R "cat /hello.txt" "$image?offset=$((start * 512))" 2>/dev/null)
echo "demo: done"
