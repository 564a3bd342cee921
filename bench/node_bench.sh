#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The node against a plain loop device, in one run of interleaved rounds
# (each round starts with the next device) with medians:
#
# 1. The whole device: a raw image file in the page cache served through the
#    node (qim, qimc, a loop device with direct I/O on the node) and through a
#    plain loop device of the same file. fio (libaio, direct): sequential read
#    and write of the whole device in 1 MiB blocks, 4 KiB random reads at
#    queue depths 1 and 16, each test on every device back to back. Prints
#    every round, the medians, their ratio to the loop device (and the median
#    of the rounds' own ratios), qim's CPU time per unit of work, its peak
#    resident memory and its CPU time while idle afterwards. Where the build
#    has bench/fuse_floor, the same node over the file without the driver or
#    the request lock is measured too: floor/loop is what the FUSE path costs
#    on this machine, node/floor what the driver's side adds. Each is served
#    over /dev/fuse and, where the kernel has it, over io_uring (its switch
#    is turned on for the run and put back afterwards).
# 2. A file of an ext4 file system read sequentially, page caches dropped
#    before every read, through the node and through a plain loop device.
# 3. The FUSE peers: one disk image with one partition filling it, made here
#    as a dynamic Virtual PC image (every block allocated) and a monolithic
#    sparse VMware 4 image, read through QIM's node over each transport (the
#    partition, a loop device with direct I/O) and through the peer's file
#    (vhdimount, vmdkmount; a loop device with direct I/O at the partition's
#    offset): sequential reads and 4 KiB random reads at queue depths 1 and
#    16, interleaved, with the medians' ratios node/peer. Needs the build's
#    image_from_raw (a test target) for the images.
#
# Usage (root): bench/node_bench.sh [BUILD_DIR] [ROUNDS] [DEVICE_MIB] [FILE_MIB] [PEERS]
# A size of 0 skips that part, and PEERS 0 the peers.
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
rounds=${2:-7}
device_mib=${3:-1024}
file_mib=${4:-256}
peers=${5:-1}
qim=$build/host/qim
qimc=$build/user/qimc
floor_bin=$build/bench/fuse_floor
[ "$(id -u)" -eq 0 ] || { echo "node_bench: run as root" >&2; exit 1; }
[ -x "$qim" ] && [ -x "$qimc" ] || { echo "node_bench: build qim and qimc first" >&2; exit 1; }
command -v fio >/dev/null || { echo "node_bench: fio is missing (scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d /tmp/qim-bench.XXXXXX)
mnt=$work/mnt
mkdir -p "$mnt" "$work/files"
declare -A pids=() nodes=()
loops=()
uring_switch=/sys/module/fuse/parameters/enable_uring
uring_was=
if [ -w "$uring_switch" ]; then
  uring_was=$(cat "$uring_switch")
  echo 1 >"$uring_switch"
fi
stop_server() {
  local side=$1
  [ -n "${pids[$side]:-}" ] || return 0
  kill -TERM "${pids[$side]}"
  timeout 30 tail --pid="${pids[$side]}" -f /dev/null
  unset "pids[$side]"
}
cleanup() {
  set +e
  mountpoint -q "$mnt" && umount "$mnt"
  for l in "${loops[@]}"; do losetup -d "$l"; done
  for side in "${!pids[@]}"; do stop_server "$side"; done
  for side in "${!nodes[@]}"; do mountpoint -q "${nodes[$side]}" && umount -l "${nodes[$side]}"; done
  [ -n "$uring_was" ] && echo "$uring_was" >"$uring_switch"
  rm -rf "$work"
}
trap cleanup EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
ratio() { awk -v n="$1" -v l="$2" 'BEGIN { printf "%.2f", n / l }'; }

# Starts a server of the node for a side (its command line follows) and waits
# for its mount and for the line that names its transport; false, saying why,
# when it serves over another transport than the side's name asks for.
start_server() {
  local side=$1 node=$work/$1.node
  shift
  nodes[$side]=$node
  "$@" --node="$node" 2>"$work/$side.log" &
  pids[$side]=$!
  for _ in $(seq 100); do grep -qs "serving over" "$work/$side.log" && break; sleep 0.1; done
  mountpoint -q "$node" || { echo "node_bench: $side did not start" >&2; cat "$work/$side.log" >&2; exit 1; }
  if [[ $side == *uring ]] && ! grep -q "serving over io_uring" "$work/$side.log"; then
    echo "  $side left out: $(grep "serving over" "$work/$side.log" | head -1)"
    stop_server "$side"
    return 1
  fi
}

# Mounts an image on a side's node with qimc's arguments; the exit status must be expected.
qimc_mount() {
  local side=$1 expected=$2 status=0
  shift 2
  QIM_DEVICE=${nodes[$side]} "$qimc" m "$@" >/dev/null || status=$?
  [ "$status" -eq "$expected" ] || { echo "node_bench: qimc m $* failed ($status)" >&2; exit 1; }
}

stop_qim() {
  [ -n "${pids[$1]:-}" ] || return 0
  QIM_DEVICE=${nodes[$1]} "$qimc" u >/dev/null || true
  stop_server "$1"
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
cpu_ms() { awk '{ print ($14 + $15) * 10 }' "/proc/$1/stat"; }

# One test on each device back to back, in the given order; records the
# results and each server's CPU time per unit of work.
declare -A devices
measure_set() {
  local t=$1
  shift
  local -a job
  read -r -a job <<<"${jobs[$t]}"
  for side in "$@"; do
    local c0=0 c1=0 v pid=${pids[$side]:-}
    [ -n "$pid" ] && c0=$(cpu_ms "$pid")
    v=$(fio_job "${devices[$side]}" "${job[0]}" "${job[1]}" "${job[2]}" "${job[*]:3}")
    [ -n "$pid" ] && c1=$(cpu_ms "$pid")
    results[$side.$t]+="$v "
    [ -n "$pid" ] || continue
    # CPU ms per GiB moved, or per 1000 random reads.
    if [ "${units[$t]}" = IOPS ]; then
      results[cpu.$side.$t]+="$(awk -v c=$((c1 - c0)) -v v="$v" 'BEGIN { printf "%.1f", c / (v * 2 / 1000) }') "
    elif [[ ${jobs[$t]} =~ --runtime=([0-9]+) ]]; then
      results[cpu.$side.$t]+="$(awk -v c=$((c1 - c0)) -v v="$v" -v s="${BASH_REMATCH[1]}" 'BEGIN { printf "%.0f", c / (v * s / 1073.741824) }') "
    else
      results[cpu.$side.$t]+="$(awk -v c=$((c1 - c0)) -v m="$device_mib" 'BEGIN { printf "%.0f", c / (m / 1024) }') "
    fi
  done
}

nth() { echo "$1" | awk -v i="$2" '{ print $i }'; }
med() { echo "$1" | tr ' ' '\n' | grep . | median; }
# The median of the rounds' own ratios of two sides.
pair_ratio() {
  local t=$1 a=$2 b=$3 pairs=""
  for i in $(seq "$rounds"); do pairs+="$(ratio "$(nth "${results[$a.$t]}" "$i")" "$(nth "${results[$b.$t]}" "$i")") "; done
  med "$pairs"
}

# Runs every test over the sides in interleaved rounds and prints the rounds.
run_rounds() {
  local image=$1
  shift
  local -a sides=("$@")
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
}

# The medians of a side against a baseline side, per test.
report() {
  local side=$1 base=$2 t
  for t in "${tests[@]}"; do
    [ -n "${results[$side.$t]:-}" ] || continue
    local v b cpu=""
    v=$(med "${results[$side.$t]}")
    b=$(med "${results[$base.$t]}")
    [ -n "${results[cpu.$side.$t]:-}" ] && cpu="  CPU $(med "${results[cpu.$side.$t]}") ms per $([ "${units[$t]}" = IOPS ] && echo "1000 reads" || echo GiB)"
    printf '  %-24s %-12s %8s %-4s  %s/%s %s (of pairs %s)%s\n' "${labels[$t]}" "$side" "$v" "${units[$t]}" \
      "$side" "$base" "$(ratio "$v" "$b")" "$(pair_ratio "$t" "$side" "$base")" "$cpu"
  done
}

device_part() {
  local image=$work/raw.img sectors=$((device_mib * 2048))
  head -c $((device_mib * 1048576)) /dev/urandom >"$image"
  local -a sides=(loop)
  attach "$image"
  devices[loop]=$attached
  local side
  for side in node.dev node.uring; do
    start_server "$side" "$qim" "--transport=${side#node.}" || continue
    # A floppy-like whole disk: no partition table, every sector of the file.
    qimc_mount "$side" 0 "$image" f 0 512 "$sectors" 16 63
    attach --direct-io=on "${nodes[$side]}"
    devices[$side]=$attached
    sides+=("$side")
  done
  if [ -x "$floor_bin" ]; then
    for side in floor.dev floor.uring; do
      start_server "$side" "$floor_bin" "--transport=${side#floor.}" "$image" || continue
      attach --direct-io=on "${nodes[$side]}"
      devices[$side]=$attached
      sides+=("$side")
    done
  fi
  echo "whole device, $device_mib MiB raw image in the page cache; load: $(cut -d' ' -f1-3 /proc/loadavg)"
  run_rounds "$image" "${sides[@]}"
  echo "medians of $rounds rounds; load: $(cut -d' ' -f1-3 /proc/loadavg)"
  for t in "${tests[@]}"; do
    printf '  %-24s %-12s %8s %s\n' "${labels[$t]}" loop "$(med "${results[loop.$t]}")" "${units[$t]}"
  done
  for side in "${sides[@]:1}"; do report "$side" loop; done
  [ -n "${results[floor.uring.seqread]:-}" ] && [ -n "${results[floor.dev.seqread]:-}" ] && report floor.uring floor.dev
  [ -n "${results[node.uring.seqread]:-}" ] && [ -n "${results[node.dev.seqread]:-}" ] && report node.uring node.dev
  detach_all
  for side in node.dev node.uring; do
    [ -n "${pids[$side]:-}" ] || continue
    echo "  $side peak resident memory: $(awk '/^VmHWM/ { printf "%.1f", $2 / 1024 }' "/proc/${pids[$side]}/status") MiB"
    # The asking thread and the rings' threads must sleep once requests stop.
    local c0
    sleep 0.5
    c0=$(cpu_ms "${pids[$side]}")
    sleep 2
    echo "  $side CPU while idle: $(($(cpu_ms "${pids[$side]}") - c0)) ms in 2 s"
    stop_qim "$side"
  done
  stop_server floor.dev
  stop_server floor.uring
  rm -f "$image"
}

# The FUSE peers (part 3 above).
peer_part() {
  # 504 MiB, the whole CHS geometry 1024 x 16 x 63 that a Virtual PC disk
  # reaches; random bytes, so that every block of both images is allocated.
  local raw=$work/peer.raw start=2048 sectors=$((1024 * 16 * 63)) maker=$build/tests/image_from_raw
  command -v vhdimount >/dev/null && command -v vmdkmount >/dev/null ||
    { echo "peers left out: vhdimount or vmdkmount is missing (scripts/setup.sh installs them)"; return 0; }
  [ -x "$maker" ] || { echo "peers left out: build the image_from_raw target"; return 0; }
  head -c $((sectors * 512)) /dev/urandom >"$raw"
  printf 'label: dos\nunit: sectors\n%d,,83\n' "$start" | sfdisk -q "$raw"
  "$maker" vhd "$raw" "$work/peer.vhd"
  "$maker" vmdk "$raw" "$work/peer.vmdk"
  rm -f "$raw"
  local -a sides=() saved_tests=("${tests[@]}")
  tests=(peerseq randread1 randread16)
  jobs[peerseq]="read 1M 1 --time_based --runtime=3"
  units[peerseq]="MB/s"
  labels[peerseq]="sequential read, 1 MiB"
  local f peer side
  for f in vhd vmdk; do
    for side in "$f.uring" "$f.dev"; do
      start_server "$side" "$qim" "--transport=${side#*.}" || continue
      qimc_mount "$side" 131 "$work/peer.$f" r 1
      attach --direct-io=on -r "${nodes[$side]}"
      devices[$side]=$attached
      sides+=("$side")
    done
    peer=vhdimount
    [ "$f" = vmdk ] && peer=vmdkmount
    mkdir -p "$work/$peer"
    "$peer" "$work/peer.$f" "$work/$peer" >/dev/null
    nodes[$peer]=$work/$peer
    local file
    file=$(find "$work/$peer" -maxdepth 1 -type f | head -1)
    # Direct I/O on both sides, so that neither is read from a page cache of its FUSE file.
    attach -r --direct-io=on -o $((start * 512)) "$file"
    devices[$peer]=$attached
    [ "$(cat "/sys/block/${attached#/dev/}/loop/dio")" = 1 ] || echo "  $peer: the loop device has no direct I/O on its file"
    sides+=("$peer")
  done
  cat "$work/peer.vmdk" >/dev/null
  echo "peers, a $((sectors / 2048)) MiB disk as Virtual PC and VMware 4 images; load: $(cut -d' ' -f1-3 /proc/loadavg)"
  run_rounds "$work/peer.vhd" "${sides[@]}"
  echo "medians of $rounds rounds; load: $(cut -d' ' -f1-3 /proc/loadavg)"
  for side in "${sides[@]}"; do
    case $side in
      vhd.*) report "$side" vhdimount ;;
      vmdk.*) report "$side" vmdkmount ;;
    esac
  done
  detach_all
  for side in vhd.uring vhd.dev vmdk.uring vmdk.dev; do stop_qim "$side"; done
  umount "$work/vhdimount" "$work/vmdkmount"
  tests=("${saved_tests[@]}")
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
  start_server node.dev "$qim" --transport=dev
  qimc_mount node.dev 131 "$image" r h a 0 512 "$total" 16 63 1
  local node=${nodes[node.dev]}
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
  stop_qim node.dev
  rm -f "$image"
}

[ "$device_mib" -gt 0 ] && device_part
[ "$file_mib" -gt 0 ] && ext4_part
[ "$peers" -gt 0 ] && peer_part
exit 0
