#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The real-stack benchmark: timed sessions of the link against `orvex peripheral` over the
# real bluetoothd and kernel stack, and the same sessions against the fake org.bluez, in one
# qemu guest boot (bench/realstack/). Prints a table of medians and ratios; not a test.
#
#   scripts/realstack_bench.sh <build-dir> [rounds]
#   scripts/realstack_bench.sh --fake-only <build-dir> [rounds]
#
# --fake-only runs the fake org.bluez's half on this machine, with no guest (about 30 s):
# CI does that so that the benchmark keeps working.
# Needs root and the test bed's packages (tests/realstack/boot.sh installs them). The build
# needs the orvex tool and bench/realstack_bench. Figures and logs are left in
# <build-dir>/realstack-bench/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fakeOnly=
[ "${1:-}" = --fake-only ] && { fakeOnly=1; shift; }
[ $# -ge 1 ] || { echo "usage: $0 [--fake-only] <build-dir> [rounds]" >&2; exit 2; }
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
if [ -n "$fakeOnly" ]; then
    command -v dbus-daemon >/dev/null || { echo "realstack bench: needs dbus-daemon (Debian dbus)" >&2; exit 1; }
    ORVEX_RESULTS=$results ORVEX_BENCH_STACKS=fake "$root/bench/realstack/guest-bench.sh" \
        "$build/orvex" "$build/bench/realstack_bench" "$rounds" > "$results/guest.log" 2>&1
else
    "$root/tests/realstack/boot.sh" "$results" "$root/bench/realstack/guest-bench.sh" \
        "$build/orvex" "$build/bench/realstack_bench" "$rounds"
fi
status=$?
set -e
echo "realstack bench: $(( $(date +%s) - start )) s in all${fakeOnly:+ (the fake half alone)}${fakeOnly:- (software emulation: compare ratios)}"
[ -s "$results/report.txt" ] && sed 's/^/  /' "$results/report.txt"
[ -s "$results/figures.txt" ] || { echo "realstack bench: no figures (logs in $results)" >&2; exit 1; }
python3 "$root/bench/realstack/summary.py" "$results/figures.txt"
[ $status = 0 ] || { echo "realstack bench: some sessions failed (logs in $results)" >&2; exit 1; }
