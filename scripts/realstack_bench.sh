#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The real-stack benchmark: timed sessions of the link against `orvex peripheral` over the
# real bluetoothd and kernel stack, and the same sessions against the fake org.bluez, in one
# qemu guest boot (bench/realstack/). Prints a table of medians and ratios; not a test.
#
#   scripts/realstack_bench.sh <build-dir> [rounds]
#
# Needs root and the test bed's packages (tests/realstack/boot.sh installs them). The build
# needs the orvex tool and bench/realstack_bench. Figures and logs are left in
# <build-dir>/realstack-bench/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# -ge 1 ] || { echo "usage: $0 <build-dir> [rounds]" >&2; exit 2; }
build=$(cd "$1" && pwd)
rounds=${2:-5}
for program in orvex bench/realstack_bench; do
    [ -x "$build/$program" ] || { echo "realstack bench: no $program in $build (build it first)" >&2; exit 1; }
done
results=$build/realstack-bench
rm -rf "$results"
mkdir -p "$results"
export ORVEX_REALSTACK_TIMEOUT=${ORVEX_REALSTACK_TIMEOUT:-1200}
start=$(date +%s)
set +e
"$root/tests/realstack/boot.sh" "$results" "$root/bench/realstack/guest-bench.sh" \
    "$build/orvex" "$build/bench/realstack_bench" "$rounds"
status=$?
set -e
echo "realstack bench: $(( $(date +%s) - start )) s in all (software emulation: compare ratios)"
[ -s "$results/report.txt" ] && sed 's/^/  /' "$results/report.txt"
[ -s "$results/figures.txt" ] || { echo "realstack bench: no figures (logs in $results)" >&2; exit 1; }
python3 "$root/bench/realstack/summary.py" "$results/figures.txt"
[ $status = 0 ] || { echo "realstack bench: some sessions failed (logs in $results)" >&2; exit 1; }
