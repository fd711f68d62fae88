#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The real-stack suite: the orvex tool of an existing build against `orvex peripheral` over
# the real bluetoothd and kernel Bluetooth stack, in one qemu guest (tests/realstack/).
#
#   scripts/realstack.sh <build-dir>
#
# Needs root; installs qemu, Debian's kernel, BlueZ and busybox when missing. Fails with the
# reason when the guest cannot boot; never passes by skipping. Results and logs are left in
# <build-dir>/realstack/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ $# = 1 ] || { echo "usage: $0 <build-dir>" >&2; exit 2; }
build=$(cd "$1" && pwd)
[ -x "$build/orvex" ] || { echo "realstack: no orvex tool in $build (build the orvex_cli target)" >&2; exit 1; }
results=$build/realstack
rm -rf "$results"
mkdir -p "$results"
# About 3 minutes on a quiet 2-core machine; a busy one can take three times as long.
export ORVEX_REALSTACK_TIMEOUT=${ORVEX_REALSTACK_TIMEOUT:-900}
start=$(date +%s)
set +e
"$root/tests/realstack/boot.sh" "$results" "$root/tests/realstack/sessions.sh" "$build/orvex"
status=$?
set -e
echo "realstack: $(( $(date +%s) - start )) s; report:"
if [ -s "$results/report.txt" ]; then
    sed 's/^/  /' "$results/report.txt"
else
    echo "  (none: the guest script did not run)"
fi
if [ $status != 0 ] || grep -q "^FAIL" "$results/report.txt" 2>/dev/null || [ ! -s "$results/report.txt" ]; then
    echo "realstack: FAILED (logs in $results)" >&2
    exit 1
fi
[ -s "$results/figures.txt" ] && { echo "realstack: figures:"; sed 's/^figure /  /' "$results/figures.txt"; }
echo "realstack: passed"
