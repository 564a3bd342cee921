#!/usr/bin/env bash
# Sequential read of one file in an ext4 file system, through the node
# (qim, qimc, a loop device with direct I/O on the node) against the same file
# system on a plain loop device of the raw image file; page caches are dropped
# before every run. Prints each run and the ratio node/loop of the best runs.
# Usage (root): bench/node_bench.sh [BUILD_DIR] [FILE_MIB] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
mib=${2:-256}
runs=${3:-3}
qim=$build/host/qim
qimc=$build/user/qimc
[ "$(id -u)" -eq 0 ] || { echo "node_bench: run as root" >&2; exit 1; }
[ -x "$qim" ] && [ -x "$qimc" ] || { echo "node_bench: build qim and qimc first" >&2; exit 1; }

work=$(mktemp -d /tmp/qim-bench.XXXXXX)
node=$work/qim0
mnt=$work/mnt
image=$work/disk.img
mkdir -p "$mnt" "$work/files"
qim_pid=
loop=
cleanup() {
  set +e
  mountpoint -q "$mnt" && umount "$mnt"
  [ -n "$loop" ] && losetup -d "$loop"
  if [ -n "$qim_pid" ]; then kill -TERM "$qim_pid"; timeout 30 tail --pid="$qim_pid" -f /dev/null; fi
  mountpoint -q "$node" && umount -l "$node"
  rm -rf "$work"
}
trap cleanup EXIT

start=2048
total=$(((mib + 64) * 2048))
truncate -s $((total * 512)) "$image"
printf 'label: dos\nunit: sectors\n%d,,83\n' "$start" | sfdisk -q "$image"
head -c $((mib * 1024 * 1024)) /dev/urandom >"$work/files/big"
mke2fs -q -F -t ext4 -E offset=$((start * 512)) -d "$work/files" "$image" $(((total - start) / 2))k
rm -f "$work/files/big"

# Prints the MB/s of reading the big file from the mounted file system, cold.
timed_read() {
  sync
  echo 3 >/proc/sys/vm/drop_caches
  local t0 t1
  t0=$(date +%s%N)
  dd if="$mnt/big" of=/dev/null bs=1M status=none
  t1=$(date +%s%N)
  awk -v b=$((mib * 1048576)) -v ns=$((t1 - t0)) 'BEGIN { printf "%.1f\n", b / 1e6 / (ns / 1e9) }'
}

"$qim" --node "$node" 2>"$work/qim.log" &
qim_pid=$!
for _ in $(seq 100); do mountpoint -q "$node" && break; sleep 0.1; done
status=0
QIM_DEVICE=$node "$qimc" m "$image" r h a 0 512 "$total" 16 63 1 >/dev/null || status=$?
[ "$status" -eq 131 ] || { echo "node_bench: qimc m failed ($status)" >&2; exit 1; }

best_node=0
best_loop=0
max() { awk -v a="$1" -v b="$2" 'BEGIN { print (a > b ? a : b) }'; }
for i in $(seq "$runs"); do
  loop=$(losetup --direct-io=on -r -f --show "$node")
  mount -o ro "$loop" "$mnt"
  n=$(timed_read)
  umount "$mnt"; losetup -d "$loop"; loop=

  loop=$(losetup -r -o $((start * 512)) -f --show "$image")
  mount -o ro "$loop" "$mnt"
  l=$(timed_read)
  umount "$mnt"; losetup -d "$loop"; loop=

  echo "run $i: node ${n} MB/s, loop of the raw image ${l} MB/s"
  best_node=$(max "$best_node" "$n")
  best_loop=$(max "$best_loop" "$l")
done
awk -v n="$best_node" -v l="$best_loop" -v m="$mib" \
  'BEGIN { printf "sequential read of a %d MiB file, ext4, caches dropped: node %.1f MB/s, loop %.1f MB/s, ratio node/loop %.2f\n", m, n, l, n / l }'
