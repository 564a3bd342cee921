#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets with clang (build-fuzz), writes their seeds
# from the image builders and runs each target for SECONDS (default 20).
# Ends with one line per target: executions, coverage, crashes. Exits non-zero
# when any target crashed, leaked or timed out; its input is kept in
# build-fuzz/artifacts/<target>/ and the run's log in build-fuzz/logs/.
# FUZZ_SEED fixes libFuzzer's random seed, so that a run on a fresh corpus
# repeats (CI sets it); unset, every run draws a new one.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
seed=${FUZZ_SEED:-0}
targets=(disk mount partition descriptor qimc)
bash scripts/setup.sh

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DBUILD_TESTING=OFF -DQIM_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target fuzz_seeds "${targets[@]/#/fuzz_}" >/dev/null

b=$PWD/build-fuzz
rm -rf "$b/seeds" "$b/logs"
"$b/tests/fuzz/fuzz_seeds" "$b/seeds"
mkdir -p "$b/logs" "$b/corpus"

failed=0
summary=()
for t in "${targets[@]}"; do
    mkdir -p "$b/artifacts/$t" "$b/corpus/$t" "$b/seeds/$t"
    log=$b/logs/$t.log
    rc=0
    # New inputs go to corpus/<target>, kept between runs; the seeds are read only.
    "$b/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -seed="$seed" -timeout=10 -rss_limit_mb=2048 -detect_leaks=1 \
        -max_len=280000 -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$b/artifacts/$t/" \
        "$b/corpus/$t" "$b/seeds/$t" >"$log" 2>&1 || rc=$?
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    if [ "$rc" -ne 0 ]; then
        failed=1
        why=$(grep -m1 -oE 'ERROR: (libFuzzer|AddressSanitizer|LeakSanitizer): [a-z-]*|runtime error: .*|qim-fuzz: .*' \
              "$log" || echo "exit $rc")
        summary+=("fuzz_$t: executions ${execs:-?}, cov ${cov:-?}, crashes 1 ($why; log $log, input in $b/artifacts/$t/)")
    else
        summary+=("fuzz_$t: executions ${execs:-?}, cov ${cov:-?}, crashes 0")
    fi
done
printf '%s\n' "${summary[@]}"
exit "$failed"
