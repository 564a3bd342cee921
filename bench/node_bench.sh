#!/usr/bin/env bash
# The node against a plain loop device, in one run of interleaved rounds
# (each round starts with the next device) with medians:
#
# 1. The whole device: a raw image file in the page cache served through the
#    node (qim, qimc, a loop device with direct I/O on the node) and through a
#    plain loop device of the same file. fio (libaio, direct): sequential read
#    and write of the whole device in 1 MiB blocks, 4 KiB random reads at
#    queue depths 1 and 16, each test on every device back to back. Prints
#    every round, the medians, their ratio node/loop (and the median of the
#    rounds' own ratios), qim's CPU time per unit of work, its peak resident
#    memory and its CPU time while idle afterwards. Where the build has
#    bench/fuse_floor, the same node over the file without the driver or the
#    request lock is measured too: floor/loop is what the FUSE path costs on
#    this machine, node/floor what the driver's side adds.
# 2. A file of an ext4 file system read sequentially, page caches dropped
#    before every read, through the node and through a plain loop device.
#
# Usage (root): bench/node_bench.sh [BUILD_DIR] [ROUNDS] [DEVICE_MIB] [FILE_MIB]
# A size of 0 skips that part.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
rounds=${2:-7}
device_mib=${3:-1024}
file_mib=${4:-256}
qim=$build/host/qim
qimc=$build/user/qimc
floor_bin=$build/bench/fuse_floor
[ "$(id -u)" -eq 0 ] || { echo "node_bench: run as root" >&2; exit 1; }
[ -x "$qim" ] && [ -x "$qimc" ] || { echo "node_bench: build qim and qimc first" >&2; exit 1; }
command -v fio >/dev/null || { echo "node_bench: fio is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d /tmp/qim-bench.XXXXXX)
node=$work/qim0
mnt=$work/mnt
mkdir -p "$mnt" "$work/files"
qim_pid=
floor_pid=
loops=()
cleanup() {
  set +e
  mountpoint -q "$mnt" && umount "$mnt"
  for l in "${loops[@]}"; do losetup -d "$l"; done
  if [ -n "$qim_pid" ]; then kill -TERM "$qim_pid"; timeout 30 tail --pid="$qim_pid" -f /dev/null; fi
  if [ -n "$floor_pid" ]; then kill -TERM "$floor_pid"; timeout 30 tail --pid="$floor_pid" -f /dev/null; fi
  mountpoint -q "$node" && umount -l "$node"
  mountpoint -q "$work/floor0" && umount -l "$work/floor0"
  rm -rf "$work"
}
trap cleanup EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
ratio() { awk -v n="$1" -v l="$2" 'BEGIN { printf "%.2f", n / l }'; }

start_qim() {
  "$qim" --node "$node" 2>"$work/qim.log" &
  qim_pid=$!
  for _ in $(seq 100); do mountpoint -q "$node" && break; sleep 0.1; done
  mountpoint -q "$node" || { echo "node_bench: qim did not start" >&2; cat "$work/qim.log" >&2; exit 1; }
}

stop_qim() {
  QIM_DEVICE=$node "$qimc" u >/dev/null || true
  kill -TERM "$qim_pid"
  timeout 30 tail --pid="$qim_pid" -f /dev/null
  qim_pid=
}

# Mounts an image on the node with qimc's arguments; the exit status must be expected.
qimc_mount() {
  local expected=$1 status=0
  shift
  QIM_DEVICE=$node "$qimc" m "$@" >/dev/null || status=$?
  [ "$status" -eq "$expected" ] || { echo "node_bench: qimc m $* failed ($status)" >&2; exit 1; }
}

# Sets $attached; not in a subshell, so that detach_all knows the device.
attach() { attached=$(losetup "$@" -f --show); loops+=("$attached"); }
detach_all() { for l in "${loops[@]}"; do losetup -d "$l"; done; loops=(); }

# One fio job on a device; prints MB/s (sequential) or IOPS (random).
fio_job() {
  local dev=$1 rw=$2 bs=$3 depth=$4 extra=$5
  local -a opts=(--name=job --filename="$dev" --ioengine=libaio --direct=1 --rw="$rw" --bs="$bs"
                 --iodepth="$depth" --numjobs=1 --output-format=json)
  # shellcheck disable=SC2206
  opts+=($extra)
  fio "${opts[@]}" | jq -r --arg rw "$rw" '
    .jobs[0] | (if ($rw | test("write")) then .write else .read end) as $s
    | if ($rw | test("rand")) then ($s.iops | floor) else ($s.bw_bytes / 1e6 | . * 10 | floor / 10) end'
}

declare -A results
tests=(seqread seqwrite randread1 randread16)
declare -A jobs=([seqread]="read 1M 1" [seqwrite]="write 1M 1"
                 [randread1]="randread 4k 1 --time_based --runtime=2 --randrepeat=0"
                 [randread16]="randread 4k 16 --time_based --runtime=2 --randrepeat=0")
declare -A units=([seqread]="MB/s" [seqwrite]="MB/s" [randread1]="IOPS" [randread16]="IOPS")
declare -A labels=([seqread]="sequential read, 1 MiB" [seqwrite]="sequential write, 1 MiB"
                   [randread1]="4 KiB random read, QD1" [randread16]="4 KiB random read, QD16")
qim_cpu_ms() { awk '{ print ($14 + $15) * 10 }' "/proc/$qim_pid/stat"; }

# One test on each device back to back, in the given order; records the
# results and qim's CPU time per unit of work.
declare -A devices
measure_set() {
  local t=$1
  shift
  local -a job
  read -r -a job <<<"${jobs[$t]}"
  for side in "$@"; do
    if [ "$side" = node ]; then
      local c0 c1 v
      c0=$(qim_cpu_ms)
      v=$(fio_job "${devices[node]}" "${job[0]}" "${job[1]}" "${job[2]}" "${job[*]:3}")
      c1=$(qim_cpu_ms)
      results[node.$t]+="$v "
      # CPU ms per GiB moved, or per 1000 random reads.
      if [ "${units[$t]}" = IOPS ]; then
        results[cpu.$t]+="$(awk -v c=$((c1 - c0)) -v v="$v" 'BEGIN { printf "%.1f", c / (v * 2 / 1000) }') "
      else
        results[cpu.$t]+="$(awk -v c=$((c1 - c0)) -v m="$device_mib" 'BEGIN { printf "%.0f", c / (m / 1024) }') "
      fi
    else
      results[$side.$t]+="$(fio_job "${devices[$side]}" "${job[0]}" "${job[1]}" "${job[2]}" "${job[*]:3}") "
    fi
  done
}

nth() { echo "$1" | awk -v i="$2" '{ print $i }'; }
med() { echo "$1" | tr ' ' '\n' | grep . | median; }

device_part() {
  local image=$work/raw.img sectors=$((device_mib * 2048))
  head -c $((device_mib * 1048576)) /dev/urandom >"$image"
  start_qim
  # A floppy-like whole disk: no partition table, every sector of the file.
  qimc_mount 0 "$image" f 0 512 "$sectors" 16 63
  local -a sides=(node loop)
  attach --direct-io=on "$node"
  devices[node]=$attached
  attach "$image"
  devices[loop]=$attached
  if [ -x "$floor_bin" ]; then
    "$floor_bin" "$work/floor0" "$image" 2>"$work/floor.log" &
    floor_pid=$!
    for _ in $(seq 100); do mountpoint -q "$work/floor0" && break; sleep 0.1; done
    attach --direct-io=on "$work/floor0"
    devices[floor]=$attached
    sides+=(floor)
  fi
  echo "whole device, $device_mib MiB raw image in the page cache; load: $(cut -d' ' -f1-3 /proc/loadavg)"
  for i in $(seq "$rounds"); do
    cat "$image" >/dev/null
    local line="round $i:" n=${#sides[@]}
    # Each round starts with the next device.
    local -a order=("${sides[@]:$(((i - 1) % n))}" "${sides[@]:0:$(((i - 1) % n))}")
    for t in "${tests[@]}"; do
      measure_set "$t" "${order[@]}"
      local r=""
      for side in "${sides[@]}"; do r+="/$(nth "${results[$side.$t]}" "$i")"; done
      line+=" $t ${r:1}"
    done
    echo "$line ($(IFS=/; echo "${sides[*]}"))"
  done
  local rss
  rss=$(awk '/^VmHWM/ { printf "%.1f", $2 / 1024 }' "/proc/$qim_pid/status")
  echo "medians of $rounds rounds; load: $(cut -d' ' -f1-3 /proc/loadavg)"
  for t in "${tests[@]}"; do
    local n l pairs=""
    n=$(med "${results[node.$t]}")
    l=$(med "${results[loop.$t]}")
    for i in $(seq "$rounds"); do pairs+="$(ratio "$(nth "${results[node.$t]}" "$i")" "$(nth "${results[loop.$t]}" "$i")") "; done
    printf '  %-24s node %8s  loop %8s %-4s  ratio %s (of pairs %s)  qim CPU %s ms per %s\n' "${labels[$t]}" "$n" "$l" \
      "${units[$t]}" "$(ratio "$n" "$l")" "$(med "$pairs")" "$(med "${results[cpu.$t]}")" \
      "$([ "${units[$t]}" = IOPS ] && echo "1000 reads" || echo GiB)"
    if [ -n "${results[floor.$t]:-}" ]; then
      local f
      f=$(med "${results[floor.$t]}")
      printf '  %-24s floor %7s  floor/loop %s  node/floor %s\n' "" "$f" "$(ratio "$f" "$l")" "$(ratio "$n" "$f")"
    fi
  done
  echo "  qim peak resident memory: $rss MiB"
  # The asking thread must sleep once requests stop.
  local c0
  sleep 0.5
  c0=$(qim_cpu_ms)
  sleep 2
  echo "  qim CPU while idle: $(($(qim_cpu_ms) - c0)) ms in 2 s"
  detach_all
  if [ -n "$floor_pid" ]; then
    kill -TERM "$floor_pid"
    timeout 30 tail --pid="$floor_pid" -f /dev/null
    floor_pid=
  fi
  stop_qim
  rm -f "$image"
}

# Prints the MB/s of reading the big file from the mounted file system, cold.
timed_read() {
  sync
  echo 3 >/proc/sys/vm/drop_caches
  local t0 t1
  t0=$(date +%s%N)
  dd if="$mnt/big" of=/dev/null bs=1M status=none
  t1=$(date +%s%N)
  awk -v b=$((file_mib * 1048576)) -v ns=$((t1 - t0)) 'BEGIN { printf "%.1f\n", b / 1e6 / (ns / 1e9) }'
}

read_through() {
  attach -r "$@"
  mount -o ro "$attached" "$mnt"
  timed_read
  umount "$mnt"
  detach_all
}

ext4_part() {
  local image=$work/disk.img start=2048
  local total=$(((file_mib + 64) * 2048))
  truncate -s $((total * 512)) "$image"
  printf 'label: dos\nunit: sectors\n%d,,83\n' "$start" | sfdisk -q "$image"
  head -c $((file_mib * 1048576)) /dev/urandom >"$work/files/big"
  mke2fs -q -F -t ext4 -E offset=$((start * 512)) -d "$work/files" "$image" $(((total - start) / 2))k
  rm -f "$work/files/big"
  start_qim
  qimc_mount 131 "$image" r h a 0 512 "$total" 16 63 1
  echo "ext4, a $file_mib MiB file read sequentially, caches dropped; load: $(cut -d' ' -f1-3 /proc/loadavg)"
  local ns=() ls=()
  for i in $(seq "$rounds"); do
    local n l
    if [ $((i % 2)) -eq 1 ]; then
      n=$(read_through --direct-io=on "$node"); l=$(read_through -o $((start * 512)) "$image")
    else
      l=$(read_through -o $((start * 512)) "$image"); n=$(read_through --direct-io=on "$node")
    fi
    echo "round $i: node $n MB/s, loop $l MB/s"
    ns+=("$n"); ls+=("$l")
  done
  local nm lm
  nm=$(printf '%s\n' "${ns[@]}" | median)
  lm=$(printf '%s\n' "${ls[@]}" | median)
  echo "  ext4 file read, medians: node $nm MB/s, loop $lm MB/s, ratio $(ratio "$nm" "$lm")"
  stop_qim
  rm -f "$image"
}

[ "$device_mib" -gt 0 ] && device_part
[ "$file_mib" -gt 0 ] && ext4_part
exit 0
