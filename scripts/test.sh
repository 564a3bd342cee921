#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up a fresh machine, builds everything twice (with AddressSanitizer and
# UndefinedBehaviorSanitizer, then the ordinary build) and runs every test;
# the host's and the driver's tests, where threads share the request lock,
# also run in a ThreadSanitizer build of their own.
# End-to-end tests need root, FUSE and loop devices; they skip, saying why, without them.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
jobs=$(nproc)

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQIM_SANITIZE=ON -DQIM_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"
# The package is installed from the ordinary build only, not a sanitizer's.
(cd build-asan && ctest -j "$jobs" --output-on-failure -E '^(e2e\.|install\.deb$)')

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DQIM_TSAN=ON -DQIM_WERROR=ON >/dev/null
cmake --build build-tsan -j "$jobs" --target host_tests kernel_tests
(cd build-tsan && ctest -j "$jobs" --output-on-failure -R '^(host|kernel)\.')

# The fuzz targets (clang, libFuzzer) on their seeds and what earlier runs
# found, 20 s each, with a fixed seed: a gate that repeats. Longer runs with
# fresh seeds are scripts/fuzz.sh's own job.
FUZZ_SEED=1 bash scripts/fuzz.sh 20

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQIM_WERROR=ON -DQIM_BENCH=ON >/dev/null
cmake --build build -j "$jobs"
cd build && ctest --output-on-failure
