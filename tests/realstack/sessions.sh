#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Guest script: whole sessions of the orvex tool on hci0 with `orvex peripheral` on hci1,
# over acquired sockets and over the WriteValue fallback, and on the 16-bit layout, then the
# failures of failures.sh (left out with a second argument "happy"), then a host test that
# serves the reader itself. Run by scripts/realstack.sh through boot.sh.
set -u
ORVEX=${1:?usage: sessions.sh <orvex>}
. "$(dirname "$0")/lib.sh"
. "$(dirname "$0")/failures.sh"
R=$ORVEX_RESULTS

# How many write sockets bluetoothd has handed out so far (its debug log names each one).
write_sockets() { grep -c "create_sock() AcquireWrite" "$R/bluetoothd.log"; }

session() {  # <path-name> [peripheral options...]
    local path=$1
    shift
    local socketsBefore
    socketsBefore=$(write_sockets)
    if ! start_peripheral "peripheral-$path" "$@"; then
        fail "$path: peripheral ready" "$(tail -3 "$periph_log")"
        return
    fi
    pass "$path: peripheral ready"

    if central "$path-scan" scan --json --timeout 30 &&
        [ "$(json_field "$R/$path-scan.out" id)" = "999 000000012345" ] &&
        [ "$(json_field "$R/$path-scan.out" contact.phone)" = "+44 7946 0001" ]; then
        pass "$path: scan --json finds the reader and reads the tag with its contact"
    else
        fail "$path: scan --json" "$(cat "$R/$path-scan.err" "$R/$path-scan.out")"
    fi

    if central "$path-info" info --json --timeout 30 &&
        [ "$(json_field "$R/$path-info.out" version)" = "KX100-M 2.4.1" ] &&
        [ "$(json_field "$R/$path-info.out" battery)" = 89 ]; then
        pass "$path: info --json reads version and battery"
    else
        fail "$path: info --json" "$(cat "$R/$path-info.err" "$R/$path-info.out")"
    fi

    if central "$path-write" write-contact --tag "999 000000012345" --phone "+44 7946 0999" \
        --email "new.owner@example.org" --timeout 30 &&
        central "$path-readback" scan --json --timeout 30 &&
        [ "$(json_field "$R/$path-readback.out" contact.phone)" = "+44 7946 0999" ]; then
        pass "$path: a contact write reads back"
    else
        fail "$path: contact write and read-back" \
            "$(cat "$R/$path-write.err" "$R/$path-readback.err" "$R/$path-readback.out" 2>/dev/null)"
    fi

    # watch: a trigger reading and an export made at the reader's terminal.
    "$orvex" watch --adapter hci0 --timeout 30 > "$R/$path-watch.out" 2> "$R/$path-watch.err" &
    local watch=$!
    if wait_for "$R/$path-watch.out" "battery" 40; then
        peripheral_say trigger
        wait_for "$R/$path-watch.out" "scanning *ended" 20
        peripheral_say export
        wait_for "$R/$path-watch.out" "export *#3" 20
    fi
    kill -INT $watch
    wait $watch
    local watchStatus=$?
    if grep -q "reading *FDXB 999 000000012345 *contact +44 7946 0999" "$R/$path-watch.out" &&
        [ "$(grep -c "export *#" "$R/$path-watch.out")" -ge 4 ]; then
        pass "$path: watch shows the trigger reading and the whole export"
    else
        fail "$path: watch" "status $watchStatus; $(cat "$R/$path-watch.err" "$R/$path-watch.out")"
    fi
    check "$path: the peripheral unregisters on SIGTERM" stop_peripheral
    local sockets=$(( $(write_sockets) - socketsBefore ))
    if [ "$path" = serial16 ]; then
        :
    elif [ "$path" = acquired ]; then
        check "acquired: every session wrote over an acquired socket ($sockets)" [ "$sockets" -ge 5 ]
    else
        check "writevalue: no session acquired a write socket" [ "$sockets" = 0 ]
    fi
}

# upload <path-name> [peripheral options...]: a reader that asks for a micro app gets one
# (60 slices, 50 ms answer delay each: a round-trip bound of 3 s). The upload's time is the
# first session's less a second one that uploads nothing; its ratio to the bound is printed.
upload() {
    local path=$1
    shift
    python3 -c 'import sys; open(sys.argv[1], "wb").write(bytes((i * 7 + 1) % 256 for i in range(16 + 60 * 80)))' /tmp/microapp.bin
    if ! periph_delay=0.05 start_peripheral "peripheral-$path-upload" --stale-micro-app "$@"; then
        fail "$path: upload: peripheral ready" "$(tail -3 "$periph_log")"
        return
    fi
    local t0 t1 t2 t3
    t0=$(now)
    central "$path-upload" info --json --timeout 60 --micro-app-image /tmp/microapp.bin
    local first=$?
    t1=$(now)
    central "$path-upload-again" info --json --timeout 60
    t2=$(now)
    peripheral_say status
    if [ $first = 0 ] && wait_for "$periph_log" "micro app current" 10; then
        local ratio
        ratio=$(python3 -c "import sys; a,b,c=map(float,sys.argv[1:]); print(f'{(b-a-(c-b))/3.0:.2f}')" "$t0" "$t1" "$t2")
        pass "$path: a micro-app upload completes and makes the micro app current (upload / round-trip bound: $ratio)"
        echo "figure upload-ratio-$path $ratio" >> "$R/figures.txt"
    else
        fail "$path: micro-app upload" "$(cat "$R/$path-upload.err"; tail -3 "$periph_log")"
    fi
    stop_peripheral
}

# A host's own test: the simulated reader served through the public servePeripheral() on
# hci1, the host's link on hci0 (examples/served_reader.cpp).
served_reader() {
    local example
    example=$(dirname "$ORVEX")/examples/served_reader_example
    # A link left by the session before it is let go first (at most 20 s).
    local end=$(( $(date +%s) + 20 ))
    while [ "$(date +%s)" -le "$end" ] && timeout 5 btmgmt --index 0 con 2>/dev/null | grep -q " type "; do
        sleep 0.5
    done
    if timeout 120 "$example" --reader-adapter hci1 --host-adapter hci0 > "$R/served.out" 2>&1; then
        pass "a host test serves the reader itself (servePeripheral) and reads a tag"
    else
        fail "servePeripheral host test" "$(tail -5 "$R/served.out")"
    fi
}

: > "$report"
session acquired
session writevalue --no-write-without-response
session serial16 --layout serial16
upload acquired
upload writevalue --no-write-without-response
[ "${2:-}" = happy ] || failures
# Last: its reader's link to hci0 may linger in bluetoothd for a few seconds after it ends,
# and a session started meanwhile on the same two adapters would lose its connection.
served_reader
note "$failures failures"
[ "$failures" = 0 ]
