#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The soak with race traffic (the reader reads, reports its battery and exports by itself
# while the host scans and writes contacts), then the race benchmark, on an existing build
# directory: scripts/race-soak.sh build/plain. Fails on any message of the reader that the
# host did not hear exactly once, or any report the reader gave no cause for; the session's
# start value in the table replays it (orvex_soak --race --sessions 1 --start S --trace).
# The benchmark prints its ratio; no figure of it is checked.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:?usage: scripts/race-soak.sh BUILD_DIR (an existing plain build)}
sessions=${RACE_SOAK_SESSIONS:-10000}
overlapping=${RACE_SOAK_OVERLAP_SESSIONS:-2000}

cmake --build "$dir" --target orvex_soak race_bench
soak="$dir/bench/soak/orvex_soak"

# Both runs print their tables, whatever the first one found.
failed=()
"$soak" --race --sessions "$sessions" --no-checks ||
    failed+=("$sessions sessions at 5 % drops, doubles and garbage")
"$soak" --race --overlap --sessions "$overlapping" --start $((sessions + 1)) --no-checks ||
    failed+=("$overlapping sessions with overlapping host calls")
"$dir/bench/race_bench"
if ((${#failed[@]})); then
    for what in "${failed[@]}"; do echo "race soak: violations in $what (table above)" >&2; done
    exit 1
fi
