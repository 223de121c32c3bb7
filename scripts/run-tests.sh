#!/usr/bin/env bash
# Installs dependencies, builds everything and runs the whole test suite: the normal
# build (unit and end-to-end tests against the staged install tree), then the unit
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DDOVER_WERROR=ON
cmake --build build -j"$jobs"
ctest --test-dir build -j"$jobs" --output-on-failure

# The walkthrough a new user runs (README), on the build above.
DOVER_DEMO_BUILD_DIR=build bash scripts/run-demo.sh

cmake -S . -B build-san -DCMAKE_BUILD_TYPE=Debug -DDOVER_SANITIZE=ON -DDOVER_BUILD_BENCHMARKS=OFF -DDOVER_WERROR=ON
cmake --build build-san -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-san -L unit -j"$jobs" --output-on-failure

# libFuzzer targets of every parser of outside input, a few seconds each on
# their seed corpora (regression inputs included).
bash scripts/run-fuzz.sh 8
