#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Guest script of the real-stack benchmark (run by bench/realstack/bench.sh through the test
# bed's boot.sh): the same timed sessions (realstack_bench) against the real bluetoothd, with
# `orvex peripheral` on hci1 as the reader, and against the fake org.bluez on a private bus,
# each over acquired sockets and over WriteValue. One line per figure goes to
# $ORVEX_RESULTS/figures.txt: "<stack> <path> <figure> <value...>".
#
#   guest-bench.sh <orvex> <realstack_bench> [rounds]
#
# ORVEX_BENCH_STACKS="fake" leaves the real stack out: then it runs on any machine with
# dbus-daemon, no guest needed (the check that keeps the benchmark working).
set -u
ORVEX=${1:?usage: guest-bench.sh <orvex> <realstack_bench> [rounds]}
bench=${2:?usage: guest-bench.sh <orvex> <realstack_bench> [rounds]}
rounds=${3:-5}
. "$(dirname "$0")/../../tests/realstack/lib.sh"
R=$ORVEX_RESULTS
figures=$R/figures.txt
: > "$figures"
: > "$report"

# The micro app: 60 slices. With the reader's 50 ms answer delay its round-trip bound is 3 s.
image=/tmp/microapp.bin
python3 -c 'import sys; open(sys.argv[1], "wb").write(bytes((i * 7 + 1) % 256 for i in range(16 + 60 * 80)))' "$image"
uploadDelay=0.05

# One session; the figures whose names match <kept> are kept under <stack> <path>. (An
# upload session's connection figures are left out: its reader answers slowly.)
measure() {  # <stack> <path> <kept> <log-name> [realstack_bench options...]
    local stack=$1 path=$2 kept=$3 name=$4
    shift 4
    if "$bench" --adapter hci0 "$@" > "$R/$name.out" 2> "$R/$name.err"; then
        grep -E "^($kept) " "$R/$name.out" | sed "s/^/$stack $path /" >> "$figures"
    else
        fail "$stack $path: $name" "$(cat "$R/$name.err")"
    fi
}

stacks=" ${ORVEX_BENCH_STACKS:-real fake} "

# --- the real stack
readerAddress=
[[ $stacks == *" real "* ]] && readerAddress=$(btmgmt --index 1 info | awk '/addr/ { print $2; exit }')
# bluetoothd forgets the reader, so that each session discovers it afresh.
forget_reader() {
    dbus-send --system --print-reply --dest=org.bluez /org/bluez/hci0 \
        org.bluez.Adapter1.RemoveDevice "objpath:/org/bluez/hci0/dev_${readerAddress//:/_}" \
        > /dev/null 2>&1
    sleep 0.5
}
real() {  # <path> [peripheral options...]
    local path=$1 i
    shift
    if ! periph_delay=0 start_peripheral "bench-$path" "$@"; then
        fail "real $path: peripheral ready" "$(tail -3 "$periph_log")"
        return
    fi
    for i in $(seq "$rounds"); do
        forget_reader
        measure real "$path" "found|handshake|setup|round-trip" "real-$path-$i" --scans 10
    done
    stop_peripheral
    for i in $(seq 3); do
        forget_reader
        if ! periph_delay=$uploadDelay start_peripheral "bench-$path-upload" --stale-micro-app "$@"; then
            fail "real $path: upload peripheral ready" "$(tail -3 "$periph_log")"
            continue
        fi
        measure real "$path" upload "real-$path-upload-$i" --scans 0 --image "$image"
        stop_peripheral
    done
}
if [[ $stacks == *" real "* ]]; then
    [ -n "$readerAddress" ] || fail "real stack" "hci1 has no address"
    real acquired
    real writevalue --no-write-without-response
fi

# --- the fake org.bluez on a private bus, in the same guest
fake_pid=
start_fake() {  # <log-name> [fake-bluez options...]
    local name=$1
    shift
    "$ORVEX" fake-bluez --mtu 517 "$@" > "$R/$name.log" 2>&1 &
    fake_pid=$!
    wait_for "$R/$name.log" "^ready" 30
}
stop_fake() {
    kill -TERM "$fake_pid" 2>/dev/null
    wait "$fake_pid"
}
fake() {  # <path> [fake-bluez options...]
    local path=$1 i
    shift
    for i in $(seq "$rounds"); do
        start_fake "fake-$path-$i" --delay 0 "$@" || fail "fake $path: ready" "$(cat "$R/fake-$path-$i.log")"
        measure fake "$path" "found|handshake|setup|round-trip" "fake-$path-$i" --scans 10
        stop_fake
    done
    for i in $(seq 3); do
        start_fake "fake-$path-upload-$i" --delay "$uploadDelay" --stale-micro-app "$@" ||
            fail "fake $path: ready" "$(cat "$R/fake-$path-upload-$i.log")"
        measure fake "$path" upload "fake-$path-upload-$i" --scans 0 --image "$image"
        stop_fake
    done
}
bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=3 3> /tmp/fake-bus.pid)
export DBUS_SYSTEM_BUS_ADDRESS=$bus
fake acquired
fake writevalue --no-sockets
kill "$(cat /tmp/fake-bus.pid)"

note "$failures failures"
[ "$failures" = 0 ]
