#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The test bed's smoke check: both virtual controllers are there and powered.
set -u
out=$ORVEX_RESULTS/hello.txt
btmgmt info > "$out" 2>&1
bluetoothctl list >> "$out" 2>&1
grep -q "^hci0:" "$out" && grep -q "^hci1:" "$out" && [ "$(grep -c "Controller" "$out")" = 2 ]
