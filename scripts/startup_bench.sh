#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# How fast the `orvex` tool starts: `orvex --version` and `orvex decode` against /bin/true,
# median of paired runs (bench/startup/startup.py), and how many shared objects the tool
# and its helpers load. Uses the tool already built in $1 (default build/release, which
# scripts/bench.sh builds); extra arguments go to the script (--runs N).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
shift || true
[ -x "$build/orvex" ] || { echo "no orvex in $build: build it first (scripts/bench.sh builds build/release)"; exit 1; }
exec python3 bench/startup/startup.py "$build" "$@"
