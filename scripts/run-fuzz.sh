#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer)
# in build-fuzz and runs each for the given number of seconds (default 10) on its
# seed corpus in tests/fuzz/corpus/<target>. New inputs go to
# build-fuzz/corpus/<target>, crashing inputs to build-fuzz/crashes/; copy a
# crashing input into the seed corpus as a regression input once it is fixed.
# Usage: scripts/run-fuzz.sh [seconds-per-target] [target...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-10}
shift || true
build=build-fuzz

launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S . -B "$build" -DDOVER_FUZZ=ON -DDOVER_BUILD_TESTS=OFF \
  -DDOVER_BUILD_BENCHMARKS=OFF -DDOVER_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzz_targets

targets=("$@")
if ((${#targets[@]} == 0)); then
  for dir in tests/fuzz/corpus/*/; do targets+=("$(basename "$dir")"); done
fi

mkdir -p "$build/crashes"
failed=()
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target"
  log="$build/fuzz_$target.log"
  # Outputs of the code under test are closed (close_fd_mask=3); libFuzzer and
  # the sanitizers keep reporting on their own copy of standard error.
  if "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -close_fd_mask=3 -timeout=10 -rss_limit_mb=2048 \
      -max_len=16384 -print_final_stats=1 -artifact_prefix="$build/crashes/$target-" \
      "$build/corpus/$target" "tests/fuzz/corpus/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
    echo "fuzz $target: ok, ${runs:-?} executions in ${took:-$seconds} s"
  else
    echo "fuzz $target: FAILED (log $log)"
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" | head -5 || true
    failed+=("$target")
  fi
done
if ((${#failed[@]} > 0)); then
  echo "fuzz: failures in ${failed[*]}"
  exit 1
fi
