#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Runs the libFuzzer targets (fuzz/fuzz_*.cpp) for a number of runs or a time each, and
# reports per target: runs, runs per second, coverage and findings.
#
#   scripts/fuzz.sh --runs 10000000 --corpus ~/orvex-corpus
#   scripts/fuzz.sh --minutes 30 --target link
#   scripts/fuzz.sh --runs 0 --corpus ~/orvex-corpus --merge   # only minimise into fuzz/corpus
#
# Each target grows its corpus in <corpus>/<target> (the committed fuzz/corpus/<target> is
# read as a starting point, never written, except by --merge). A finding is saved as
# <corpus>/<target>-findings/<kind>-<hash>, with a one-line command that reproduces it; the
# script then exits with status 1. --merge adds to fuzz/corpus/<target> the smallest set of
# the grown inputs that covers what the committed corpus does not.
set -euo pipefail

usage() {
  cat <<'EOF'
usage: scripts/fuzz.sh [--runs N | --minutes M | --seconds S] [--corpus DIR] [--target NAME]...
                       [--merge] [--build DIR] [--no-build] [-- LIBFUZZER-FLAGS...]
  --runs N       stop each target after N runs (libFuzzer -runs)
  --minutes M    stop each target after M minutes; --seconds S likewise
                 (default: 60 seconds; with --runs and a time, whichever comes first)
  --corpus DIR   where the grown corpus and findings are kept (default: build/fuzz/corpus)
  --target NAME  link or codecs (repeatable; default: every target)
  --merge        afterwards, minimise the grown corpus into fuzz/corpus/<target>
  --build DIR    the fuzz build tree (default: build/fuzz); --no-build uses it as it is
EOF
}

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=""
seconds=""
corpus="build/fuzz/corpus"
build="build/fuzz"
targets=()
merge=0
do_build=1
extra=()

fail() { echo "fuzz.sh: $*" >&2; exit 2; }
number() { [[ "$2" =~ ^[0-9]+$ ]] || fail "$1 needs a whole number, not '$2'"; }

while [ $# -gt 0 ]; do
  case "$1" in
    --runs) [ $# -ge 2 ] || fail "--runs needs a number"; number --runs "$2"; runs=$2; shift 2 ;;
    --minutes) [ $# -ge 2 ] || fail "--minutes needs a number"; number --minutes "$2"
      seconds=$(($2 * 60)); shift 2 ;;
    --seconds) [ $# -ge 2 ] || fail "--seconds needs a number"; number --seconds "$2"
      seconds=$2; shift 2 ;;
    --corpus) [ $# -ge 2 ] || fail "--corpus needs a folder"; corpus=$2; shift 2 ;;
    --target) [ $# -ge 2 ] || fail "--target needs a name"; targets+=("${2#fuzz_}"); shift 2 ;;
    --build) [ $# -ge 2 ] || fail "--build needs a folder"; build=$2; shift 2 ;;
    --merge) merge=1; shift ;;
    --no-build) do_build=0; shift ;;
    -h|--help) usage; exit 0 ;;
    --) shift; extra=("$@"); break ;;
    *) fail "unknown argument '$1' (see --help)" ;;
  esac
done
if [ -z "$runs" ] && [ -z "$seconds" ]; then seconds=60; fi

# Paths the user gave are taken from where the script was started; it works from the root.
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$PWD/$1" ;; esac; }
corpus=$(absolute "$corpus")
build=$(absolute "$build")
cd "$root"

if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/fuzz_*.cpp; do
    name=$(basename "$source" .cpp)
    targets+=("${name#fuzz_}")
  done
fi
for t in "${targets[@]}"; do
  [ -f "fuzz/fuzz_$t.cpp" ] || fail "no target '$t' (fuzz/fuzz_$t.cpp)"
done

if [ "$do_build" = 1 ]; then
  if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER+set}" ] && command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache
  fi
  CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DORVEX_WERROR=ON -DORVEX_BUILD_FUZZ=ON -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_BENCH=OFF \
    -DORVEX_BUILD_TOOLS=OFF -DORVEX_WITH_BLUEZ=OFF -DORVEX_BUILD_PYTHON=OFF \
    -DORVEX_BUILD_EXAMPLES=OFF >/dev/null
  cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]/#/fuzz_}" >/dev/null
fi

# Shorter allocation stacks and a smaller quarantine than AddressSanitizer's defaults make
# each run cheaper; a reproduce command run by hand gets the full defaults back.
export ASAN_OPTIONS=${ASAN_OPTIONS-malloc_context_size=2:quarantine_size_mb=16}
export UBSAN_OPTIONS=${UBSAN_OPTIONS-print_stacktrace=1}

status=0
for t in "${targets[@]}"; do
  binary="$build/fuzz/fuzz_$t"
  [ -x "$binary" ] || fail "$binary is not built"
  grown="$corpus/$t"
  findings="$corpus/$t-findings"
  log="$corpus/$t.log"
  mkdir -p "$grown" "$findings"
  flags=(-print_final_stats=1 -timeout=25 -artifact_prefix="$findings/"
         -entropic_feature_frequency_threshold=16)
  [ -f "fuzz/$t.dict" ] && flags+=(-dict="fuzz/$t.dict")
  # The link target checks the memory limit itself (fuzz/fuzz_link.cpp): without libFuzzer's
  # thread for it the process stays single-threaded, and the simulated platform's locks and
  # reference counts cost much less. Single allocations are still held to the limit.
  [ "$t" = link ] && flags+=(-rss_limit_mb=0 -malloc_limit_mb=2048)
  # Link inputs differ a hundredfold in run time (one notification, or two hundred steps of
  # handshakes and long waits). Choosing among inputs of equal promise the faster ones
  # about doubles the runs per second; the new coverage per run stays the same.
  [ "$t" = link ] && flags+=(-entropic_scale_per_exec_time=1)
  [ -n "$runs" ] && flags+=(-runs="$runs")
  [ -n "$seconds" ] && flags+=(-max_total_time="$seconds")
  stamp="$findings/.started"
  touch "$stamp"
  start=$(date +%s)
  rc=0
  "$binary" "${flags[@]}" "${extra[@]}" "$grown" "fuzz/corpus/$t" >"$log" 2>&1 || rc=$?
  elapsed=$(($(date +%s) - start))

  # The last figure of each kind in the log (none when the run stopped before any).
  last() { { grep -o "$1" "$log" || true; } | tail -n 1 | grep -o '[0-9]*$' || true; }
  executed=$(last '^stat::number_of_executed_units: *[0-9]*')
  rate=$(last '^stat::average_exec_per_sec: *[0-9]*')
  cov=$(last 'cov: [0-9]*')
  ft=$(last 'ft: [0-9]*')
  new=$(find "$findings" -type f ! -name .started -newer "$stamp" | sort)
  found=$(echo -n "$new" | grep -c . || true)
  # libFuzzer leaves with 72 when interrupted (Ctrl-C): that is no finding.
  if [ "$rc" -ne 0 ] && [ "$rc" -ne 72 ] && [ "$found" -eq 0 ]; then found=1; fi
  echo "fuzz_$t: ${executed:-?} runs in ${elapsed} s (${rate:-?}/s), cov ${cov:-?}, ft ${ft:-?}," \
       "corpus $(find "$grown" -type f | wc -l) inputs, findings $found"
  if [ "$found" -ne 0 ]; then
    status=1
    grep -E '^(==[0-9]+==ERROR|SUMMARY|fuzz_[a-z]+:|.*runtime error)' "$log" | head -n 5 || true
    while IFS= read -r input; do
      [ -n "$input" ] && echo "reproduce: $binary '$input'"
    done <<<"$new"
    echo "(log: $log)"
  fi
done

if [ "$merge" = 1 ]; then
  for t in "${targets[@]}"; do
    committed="fuzz/corpus/$t"
    count=$(find "$committed" -type f | wc -l)
    "$build/fuzz/fuzz_$t" -merge=1 "$committed" "$corpus/$t" >"$corpus/$t-merge.log" 2>&1 ||
      fail "merging $t failed (see $corpus/$t-merge.log)"
    echo "fuzz_$t: merged into $committed: $count -> $(find "$committed" -type f | wc -l) inputs"
  done
fi
exit "$status"
