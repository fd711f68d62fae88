#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Builds the orvex tool and runs the demo: a whole session with a simulated reader.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build/plain -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/plain -j "$(nproc)" --target orvex_cli
exec build/plain/orvex demo "$@"
