#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the receive-path benchmarks in Release (build/release) and runs them: each figure
# is printed with its ratio to a floor measured in the same run, from the median of
# repetitions run in random order (so that a change in the machine's load or speed falls on
# floor and figure alike). Many short repetitions follow such changes more closely than a
# few long ones. Extra arguments go to the benchmark program, e.g.
#   scripts/bench.sh --benchmark_filter='Contact|Pearson'   (a ratio needs its floor in the run)
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_EXAMPLES=OFF >/dev/null
cmake --build build/release --target receive_bench -j "$(nproc)"

build/release/bench/receive_bench \
  --benchmark_repetitions="${BENCH_REPETITIONS:-40}" \
  --benchmark_min_time="${BENCH_MIN_TIME:-0.03}" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true \
  "$@"
