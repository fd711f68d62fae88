#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds with warnings as errors and runs the whole suite: plain, under
# AddressSanitizer + UndefinedBehaviorSanitizer, and under ThreadSanitizer; the guides'
# commands, the race soak, the Debian package, the real Bluetooth stack in a qemu guest and
# the browser tests; then runs each fuzzer for a short, bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
# What the guest and the browser need is downloaded and unpacked while the native suite
# builds; the stages that need it wait for it.
mkdir -p build
scripts/deps.sh --extras >build/deps-extras.log 2>&1 &
extras=$!
wait_for_extras() {
  wait "$extras" || { cat build/deps-extras.log; echo "installing the extras failed" >&2; exit 1; }
}

jobs=$(nproc)
started=$SECONDS
stage() {  # prints how long the whole run has taken so far, to see where CI's time goes
  echo "=== [$(( (SECONDS - started) / 60 ))m$(( (SECONDS - started) % 60 ))s] $*"
}
run_suite() {
  local dir=$1; shift
  stage "build $dir ($*)"
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVEX_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  stage "test $dir"
  # A test that fails is run again (up to three times in all): on a shared 2-core machine a
  # whole-session test over a real bus can miss a bound now and then; a real fault fails
  # every time.
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 --repeat until-pass:3 \
    ${EXCLUDE:+-E "$EXCLUDE"}
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_suite build/plain
stage "benchmarks run (no timing checked)" && build/plain/bench/receive_bench --benchmark_min_time=0.01 >build/plain/receive_bench.log
stage "real-stack benchmark, the fake half (no timing checked)" && bash scripts/realstack_bench.sh --fake-only build/plain 1 >build/plain/realstack_bench_fake.log
stage "python" && scripts/python_tests.sh build/plain
stage "API reference (Doxygen; an undocumented public declaration fails)" && cmake --build build/plain --target docs
stage "the guides' runnable commands" && bash scripts/docs_check.sh build/plain
stage "soak" && build/plain/bench/soak/orvex_soak --sessions 3000 --overlap  # every exchange: exactly one outcome
stage "race soak (nothing the reader says is lost)" && bash scripts/race-soak.sh build/plain
stage "consumer checks" && bash scripts/consumer-check.sh build/plain
stage "waiting for the extras" && wait_for_extras
stage "Debian package (lintian, sizes, systemd-analyze, install and purge)" && bash scripts/package_check.sh build/plain
stage "real Bluetooth stack (qemu guest)" && bash scripts/realstack.sh build/plain
stage "browser (WebAssembly, Node, headless Chromium)" && bash scripts/web_tests.sh build/plain
# The sanitizer builds optimise less and keep only line tables: a quarter less compile time,
# and a report still names every file and line.
sanitized=(-DORVEX_BUILD_BENCH=OFF "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG")
run_suite build/asan -DORVEX_SANITIZE=address,undefined "${sanitized[@]}"
run_suite build/tsan -DORVEX_SANITIZE=thread "${sanitized[@]}"

stage "fuzz (each target 50 s)" && scripts/fuzz.sh --seconds "${FUZZ_SECONDS:-50}" --corpus build/fuzz/corpus
stage "all suites passed"
