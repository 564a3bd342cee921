#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The writer and the checker of scripts/kill_test.sh.

write DEVICE LOG SEED BUDGET [EARLIER_LOG...]
    Writes blocks of random bytes at random 4 KiB-aligned offsets of DEVICE
    (O_DIRECT), never over a range an earlier log names, until BUDGET bytes
    are written or a write fails. LOG gets one line per step, written before
    the next step starts:
        W OFFSET LENGTH SEED   a write is issued
        A OFFSET LENGTH SEED   it was acknowledged
        S                      fsync returned: every acknowledged write is durable
        E TEXT                 a write or fsync failed; the writer stops
        D                      the budget is written; the writer stops

check BEFORE AFTER BASE LOG
    AFTER is the disk read back after a kill, BEFORE the disk before the round
    whose LOG is given, BASE the disk offset of the device. A write that an
    fsync covered must read back exactly; any other write of the round may
    leave each sector old or new; every other byte is unchanged. Prints
    "verified BYTES" and a line per mismatch; exit status 1 on any.
"""
import bisect
import mmap
import os
import random
import sys

SECTOR = 512
SIZES = [4096] * 5 + [8192, 16384, 65536] * 2 + [131072, 262144, 1048576]


def data(seed, length):
    return random.Random(seed).randbytes(length)


def read_log(path):
    with open(path) as f:
        return [line.split() for line in f if line.strip()]


def write(device, log_path, seed, budget, earlier):
    rng = random.Random(seed)
    starts, ends = [], []  # disjoint ranges already used, sorted

    def free(off, length):
        i = bisect.bisect_right(starts, off)
        if i > 0 and ends[i - 1] > off:
            return False
        return i == len(starts) or starts[i] >= off + length

    def take(off, length):
        i = bisect.bisect_right(starts, off)
        starts.insert(i, off)
        ends.insert(i, off + length)

    for path in earlier:
        for rec in read_log(path):
            if rec[0] == "W":
                take(int(rec[1]), int(rec[2]))
    fd = os.open(device, os.O_RDWR | os.O_DIRECT)
    size = os.lseek(fd, 0, os.SEEK_END)
    log = os.open(log_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_APPEND, 0o644)
    buf = mmap.mmap(-1, max(SIZES))  # page-aligned, as O_DIRECT needs

    def note(text):
        os.write(log, (text + "\n").encode())

    written = 0
    while written < budget:
        length = rng.choice(SIZES)
        for _ in range(1000):
            off = rng.randrange(0, (size - length) // 4096 + 1) * 4096
            if free(off, length):
                break
        else:
            break
        take(off, length)
        block_seed = rng.getrandbits(32)
        buf[:length] = data(block_seed, length)
        note(f"W {off} {length} {block_seed}")
        try:
            if os.pwrite(fd, memoryview(buf)[:length], off) != length:
                note("E short write")
                return
            note(f"A {off} {length} {block_seed}")
            written += length
            if rng.random() < 0.15:
                os.fsync(fd)
                note("S")
        except OSError as e:
            note(f"E {e.strerror}")
            return
    note("D")


def check(before_path, after_path, base, log_path):
    recs = read_log(log_path)
    last_sync = max((i for i, r in enumerate(recs) if r[0] == "S"), default=-1)
    acked_at = {(r[1], r[2]): i for i, r in enumerate(recs) if r[0] == "A"}
    with open(before_path, "rb") as fb, open(after_path, "rb") as fa:
        size = os.fstat(fb.fileno()).st_size
        if os.fstat(fa.fileno()).st_size != size:
            print(f"{after_path}: {os.fstat(fa.fileno()).st_size} bytes, not {size}")
            return 1

        def before(off, n):
            return os.pread(fb.fileno(), n, off)

        def after(off, n):
            return os.pread(fa.fileno(), n, off)

        failures, verified, covered = [], 0, []
        for r in recs:
            if r[0] != "W":
                continue
            off, length, seed = base + int(r[1]), int(r[2]), int(r[3])
            covered.append((off, off + length))
            new = data(seed, length)
            got = after(off, length)
            if acked_at.get((r[1], r[2]), len(recs)) < last_sync:
                if got != new:
                    failures.append(f"synced write at device offset {r[1]}, {length} bytes, does not read back")
                else:
                    verified += length
                continue
            old = before(off, length)
            for s in range(0, length, SECTOR):
                g = got[s:s + SECTOR]
                if g != new[s:s + SECTOR] and g != old[s:s + SECTOR]:
                    failures.append(f"unsynced write at device offset {r[1]}: sector {s // SECTOR} "
                                    "is neither old nor new")
                    break
        covered.sort()
        at, chunk = 0, 8 << 20
        buf_a, buf_b = bytearray(chunk), bytearray(chunk)
        for start, end in covered + [(size, size)]:
            for c in range(at, start, chunk):
                n = min(start, c + chunk) - c
                view_a, view_b = memoryview(buf_a)[:n], memoryview(buf_b)[:n]
                fa.seek(c)
                fb.seek(c)
                if (fa.readinto(view_a) != n or fb.readinto(view_b) != n
                        or (buf_a != buf_b if n == chunk else buf_a[:n] != buf_b[:n])):
                    failures.append(f"bytes [{c}, {c + n}) of the disk changed, though no write named them")
                    break
            at = max(at, end)
    for f in failures:
        print(f)
    print(f"verified {verified}")
    return 1 if failures else 0


def main(argv):
    if len(argv) >= 5 and argv[0] == "write":
        write(argv[1], argv[2], int(argv[3]), int(argv[4]), argv[5:])
        return 0
    if len(argv) == 5 and argv[0] == "check":
        return check(argv[1], argv[2], int(argv[3]), argv[4])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
