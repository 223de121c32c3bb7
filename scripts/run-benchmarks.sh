#!/usr/bin/env bash
# Builds and runs every benchmark program. Each reports its results as ratios
# against a baseline measured in the same process.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DDOVER_BUILD_BENCHMARKS=ON
cmake --build build -j"$(nproc)"
for b in $(find build/bench -type f -executable -not -path '*/CMakeFiles/*' | sort); do
  echo "== $b"
  "$b" --benchmark_min_time=0.2
done
