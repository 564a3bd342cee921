#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# qim killed with SIGKILL while a writer fills a sparse image through the
# node, again and again on the same image and the same node path:
#
#   for each of Virtual PC dynamic (.vhd), VMware 4 monolithic sparse (.vmdk)
#   and VMware 3 (.dsk), an empty image with one partition; then per kill:
#   qim starts (clearing the dead mount the last kill left), qimc mounts the
#   partition read-write, a loop device with direct I/O sits on the node, the
#   writer (scripts/kill_writer.py) writes random blocks into new areas with
#   fsyncs now and then, and qim is killed after a random number of writes.
#   Then the image must open and pass qimg check and qemu-img check (where
#   qemu-img checks the format), read alike in qimg and qemu-img, and every
#   write that an fsync covered must read back; other writes of the round may
#   be old or new per sector, and no other byte may change. Leaked space (a
#   block appended whose table entry the kill cut off) passes.
#
# Usage (root): scripts/kill_test.sh [BUILD_DIR] [KILLS_PER_FORMAT]
# With KILL_TEST_KEEP=DIR, a failing round's image (as the kill left it) and
# logs are copied there; KILL_TEST_FORMATS="vmdk dsk" runs only those;
# KILL_TEST_TRANSPORT=uring serves the node over io_uring (the kernel's switch
# is turned on for the run and put back; skipped where the kernel lacks it).
# Needs qim, qimc, qimg and image_from_raw built; exits 77 when it cannot run
# here (no root, FUSE, loop devices, qemu-img or python3), 1 on any failure.
set -euo pipefail
shopt -s nullglob
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
kills=${2:-20}
qim=$build/host/qim
qimc=$build/user/qimc
qimg=$build/user/qimg
maker=$build/tests/image_from_raw
writer=$PWD/scripts/kill_writer.py

skip() { echo "kill_test: skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "needs root (FUSE mounts, loop devices)"
[ -c /dev/fuse ] || skip "no /dev/fuse"
losetup -f >/dev/null 2>&1 || skip "no free loop device"
command -v qemu-img >/dev/null || skip "qemu-img is missing (scripts/setup.sh installs it)"
command -v python3 >/dev/null || skip "python3 is missing"
# The interpreter itself: a version manager's wrapper can take longer to start than a round lasts.
python=$(python3 -c 'import sys; print(sys.executable)')
for b in "$qim" "$qimc" "$qimg" "$maker"; do
  [ -x "$b" ] || { echo "kill_test: $b is not built (targets qim qimc qimg image_from_raw)" >&2; exit 1; }
done

transport=${KILL_TEST_TRANSPORT:-dev}
uring_switch=/sys/module/fuse/parameters/enable_uring
uring_was=
if [ "$transport" = uring ]; then
  [ -w "$uring_switch" ] || skip "this kernel has no FUSE over io_uring ($uring_switch)"
  uring_was=$(cat "$uring_switch")
  echo 1 >"$uring_switch"
fi

work=$(mktemp -d /tmp/qim-kill.XXXXXX)
shm=$(mktemp -d /dev/shm/qim-kill.XXXXXX)
node=$work/qim0
qim_pid=
loop=
cleanup() {
  set +e
  [ -n "$loop" ] && losetup -d "$loop"
  [ -n "$qim_pid" ] && kill -KILL "$qim_pid" 2>/dev/null && wait "$qim_pid" 2>/dev/null
  grep -q " $node fuse" /proc/self/mounts && umount -l "$node"
  [ -n "$uring_was" ] && echo "$uring_was" >"$uring_switch"
  rm -rf "$work" "$shm"
}
trap cleanup EXIT

# 504 MiB, a whole CHS geometry (1024 x 16 x 63), one Linux partition at
# 1 MiB; each round writes at most 16 MiB (about 150 writes), so 20 rounds
# do not fill the disk.
disk_sectors=1032192
part_start=2048
base=$((part_start * 512))
budget=$((16 * 1048576))
truncate -s $((disk_sectors * 512)) "$shm/empty.raw"
printf 'label: dos\nunit: sectors\n%d,,83\n' "$part_start" | sfdisk -q "$shm/empty.raw"

start_qim() {
  "$qim" --node "$node" --transport="$transport" 2>>"$1" &
  qim_pid=$!
  for _ in $(seq 100); do
    if [ "$transport" = dev ]; then mountpoint -q "$node" && return 0; fi
    # Over io_uring the rings must serve, not the fallback.
    grep -qs "serving over io_uring" "$1" && return 0
    sleep 0.1
  done
  return 1
}

failures=0
summary=()
fail() {
  echo "  $ext kill $k: $*"
  if [ "$round_failed" -eq 0 ] && [ -n "${KILL_TEST_KEEP:-}" ]; then
    mkdir -p "$KILL_TEST_KEEP/$ext.$k"
    cp -r "$image" "$log_dir" "$KILL_TEST_KEEP/$ext.$k/"
  fi
  round_failed=1
}

run_format() {
  local ext=$1 peer=$2
  local image=$work/disk.$ext log_dir=$work/$ext
  mkdir -p "$log_dir"
  "$maker" "$ext" "$shm/empty.raw" "$image"
  cp "$shm/empty.raw" "$shm/model.raw"
  local opened=0 qimg_ok=0 qimg_leak=0 peer_ok=0 peer_leak=0 peer_fail=0 peer_na=0 verified=0 failed=0 cleared=0
  for k in $(seq "$kills"); do
    local round_failed=0 qlog=$log_dir/qim.$k.log wlog=$log_dir/writes.$k.log
    local dead=0
    grep -q " $node fuse" /proc/self/mounts && dead=1
    if ! start_qim "$qlog"; then
      fail "qim did not start: $(tr '\n' ' ' <"$qlog")"
      failed=$((failed + 1)); continue
    fi
    if [ "$dead" -eq 1 ]; then
      if grep -q "dead mount" "$qlog"; then cleared=$((cleared + 1)); else fail "qim said nothing of the dead mount"; fi
    fi
    if grep -qi "cannot\|error" "$qlog"; then fail "qim's start: $(tr '\n' ' ' <"$qlog")"; fi
    local status=0
    QIM_DEVICE=$node "$qimc" m "$image" 1 >"$log_dir/qimc.$k" 2>&1 || status=$?
    if [ "$status" -ne 131 ]; then
      fail "qimc m $image 1: status $status: $(tr '\n' ' ' <"$log_dir/qimc.$k")"
      kill -KILL "$qim_pid"; wait "$qim_pid" 2>/dev/null || true; qim_pid=
      failed=$((failed + 1)); continue
    fi
    loop=$(losetup --direct-io=on -f --show "$node")
    "$python" "$writer" write "$loop" "$wlog" "$RANDOM$RANDOM" "$budget" "$log_dir"/writes.[0-9]*.log.done \
      2>"$log_dir/writer.$k.err" &
    local writer_pid=$!
    # The kill comes after a random number of writes were issued (the formats
    # write at different speeds), a few milliseconds into the last of them.
    local target=$((RANDOM % 120 + 1))
    for _ in $(seq 1000); do
      [ -s "$wlog" ] && [ "$(grep -c '^W' "$wlog")" -ge "$target" ] && break
      [ "$(tail -1 "$wlog" 2>/dev/null)" = D ] && break
      sleep 0.01
    done
    sleep "$(awk -v r="$RANDOM" 'BEGIN { printf "%.3f", r / 32768 * 0.02 }')"
    kill -KILL "$qim_pid" 2>/dev/null || fail "qim ended before it was killed: $(tr '\n' ' ' <"$qlog")"
    wait "$qim_pid" 2>/dev/null || true; qim_pid=
    if ! timeout 60 tail --pid="$writer_pid" -f /dev/null; then fail "the writer hangs on the dead node"; fi
    wait "$writer_pid" || fail "the writer failed: $(cat "$log_dir/writer.$k.err")"
    case $(tail -1 "$wlog") in
      E*|D) ;;
      *) fail "the writer stopped without saying why: $(tail -1 "$wlog"); $(cat "$log_dir/writer.$k.err")" ;;
    esac
    losetup -d "$loop"; loop=
    mv "$wlog" "$wlog.done"
    wlog=$wlog.done

    if "$qimg" info "$image" >"$log_dir/info.$k" 2>&1; then opened=$((opened + 1)); else fail "qimg info: $(cat "$log_dir/info.$k")"; fi
    # A kill between a new block's data and its table entry leaves the block
    # unreferenced: leaked space, never wrong data.
    status=0
    "$qimg" check "$image" >"$log_dir/check.$k" 2>&1 || status=$?
    case $status in
      0) qimg_ok=$((qimg_ok + 1)) ;;
      3) qimg_leak=$((qimg_leak + 1)) ;;
      *) fail "qimg check ($status): $(tr '\n' ' ' <"$log_dir/check.$k")" ;;
    esac
    # 63: qemu-img has no check for the format.
    status=63
    if [ "$peer" != none ]; then
      status=0
      qemu-img check -f "$peer" "$image" >"$log_dir/qcheck.$k" 2>&1 || status=$?
    fi
    case $status in
      0) peer_ok=$((peer_ok + 1)) ;;
      3) peer_leak=$((peer_leak + 1)) ;;
      63) peer_na=$((peer_na + 1)) ;;
      *) peer_fail=$((peer_fail + 1)); fail "qemu-img check ($status): $(tr '\n' ' ' <"$log_dir/qcheck.$k")" ;;
    esac
    rm -f "$shm/after.raw"
    if "$qimg" convert "$image" "$shm/after.raw" >"$log_dir/convert.$k" 2>&1; then
      if [ "$peer" != none ]; then
        qemu-img compare -q -f "$peer" -F raw "$image" "$shm/after.raw" >"$log_dir/compare.$k" 2>&1 ||
          fail "qemu-img reads the image otherwise than qimg: $(tr '\n' ' ' <"$log_dir/compare.$k")"
      fi
      local out
      if out=$("$python" "$writer" check "$shm/model.raw" "$shm/after.raw" "$base" "$wlog"); then :; else
        fail "$(echo "$out" | grep -v '^verified' | head -5 | tr '\n' ';')"
      fi
      verified=$((verified + $(echo "$out" | awk '/^verified/ { print $2 }')))
      mv "$shm/after.raw" "$shm/model.raw"
    else
      fail "qimg convert: $(cat "$log_dir/convert.$k")"
    fi
    local writes acked synced
    writes=$(grep -c '^W' "$wlog" || true); acked=$(grep -c '^A' "$wlog" || true); synced=$(grep -c '^S' "$wlog" || true)
    [ "$round_failed" -eq 0 ] || failed=$((failed + 1))
    echo "  $ext kill $k: $writes writes issued, $acked acknowledged, $synced fsyncs; $(tail -1 "$wlog" | cut -c1-40)"
  done
  local line
  line=$(printf '%-5s kills %d, dead mounts cleared %d, opened %d, qimg check clean %d leaked %d, qemu-img check clean %d leaked %d failed %d n/a %d, bytes verified %d, failed kills %d' \
    "$ext" "$kills" "$cleared" "$opened" "$qimg_ok" "$qimg_leak" "$peer_ok" "$peer_leak" "$peer_fail" "$peer_na" "$verified" "$failed")
  summary+=("$line")
  failures=$((failures + failed))
}

t0=$(date +%s)
echo "kill_test: $kills kills per format, node $node"
declare -A peers=([vhd]=vpc [vmdk]=vmdk [dsk]=none)
for ext in ${KILL_TEST_FORMATS:-vhd vmdk dsk}; do run_format "$ext" "${peers[$ext]}"; done
echo "kill_test: summary ($(($(date +%s) - t0)) s)"
printf '%s\n' "${summary[@]}"
[ "$failures" -eq 0 ]
