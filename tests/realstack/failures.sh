# SPDX-License-Identifier: Apache-2.0
# The failures a real deployment meets, sourced by sessions.sh. Each one happens while
# `orvex watch` holds a session; it must end in exactly one line on standard error and
# exit status 1, with every reading made before it printed.

# watch_until_connected <name>: starts watch on hci0 in the background (pid in $watch_pid).
watch_until_connected() {
    "$orvex" watch --adapter hci0 --timeout 30 > "$R/$1.out" 2> "$R/$1.err" &
    watch_pid=$!
    wait_for "$R/$1.out" "battery" 60
}
# A trigger reading made at the reader; watch must print it.
reading_arrives() {  # <name>
    peripheral_say trigger
    wait_for "$R/$1.out" "scanning *ended" 20
}
# ends_in_one_report <name> <check-name>: watch ends by itself with status 1, one line on
# standard error, and the reading made before the failure printed.
ends_in_one_report() {
    local name=$1 check=$2 status=0
    local end=$(( $(date +%s) + 60 ))
    while kill -0 "$watch_pid" 2>/dev/null && [ "$(date +%s)" -le "$end" ]; do sleep 0.2; done
    if kill -0 "$watch_pid" 2>/dev/null; then
        kill -INT "$watch_pid"
        wait "$watch_pid"
        fail "$check" "watch did not notice within 60 s: $(cat "$R/$name.out")"
        return
    fi
    wait "$watch_pid" || status=$?
    if [ "$status" = 1 ] && [ "$(grep -c . "$R/$name.err")" = 1 ] &&
        grep -q "reading *FDXB 999 000000012345" "$R/$name.out"; then
        pass "$check ($(cat "$R/$name.err"))"
    else
        fail "$check" "status $status; err: $(cat "$R/$name.err"); out: $(cat "$R/$name.out")"
    fi
}

failures() {
    local f
    # The peripheral process killed mid-session.
    f=fail-peripheral-killed
    if start_peripheral "peripheral-$f" && watch_until_connected $f && reading_arrives $f; then
        kill -KILL "$periph_pid"
        wait "$periph_pid" 2>/dev/null
        periph_pid=
        exec 7>&-
        ends_in_one_report $f "the peripheral killed mid-session ends in one report"
    else
        fail "peripheral killed: set-up" "$(cat "$R/$f.err" 2>/dev/null)"
        kill -INT "$watch_pid" 2>/dev/null
        stop_peripheral
    fi

    # The central's process killed and restarted while the reader stays connected.
    f=fail-central-restarted
    start_peripheral "peripheral-$f"
    if watch_until_connected $f-1; then
        kill -KILL "$watch_pid"
        wait "$watch_pid" 2>/dev/null
        if watch_until_connected $f-2 && reading_arrives $f-2; then
            pass "the central killed and restarted finds its still-connected reader again"
        else
            fail "central killed and restarted" "$(cat "$R/$f-2.err" "$R/$f-2.out")"
        fi
        kill -INT "$watch_pid"
        wait "$watch_pid"
    else
        fail "central killed and restarted: set-up" "$(cat "$R/$f-1.err")"
    fi

    # The adapter powered off under the session.
    f=fail-power-off
    if watch_until_connected $f && reading_arrives $f; then
        # The order of bluetoothd's signals on power-off, for comparison with the fake's.
        dbus-monitor --system "sender='org.bluez'" > "$R/$f.signals" 2>&1 &
        local monitor=$!
        sleep 1
        btmgmt --index 0 power off > /dev/null
        ends_in_one_report $f "the adapter powered off ends in one report"
        kill $monitor
        btmgmt --index 0 power on > /dev/null
    else
        fail "power off: set-up" "$(cat "$R/$f.err")"
        kill -INT "$watch_pid" 2>/dev/null
    fi

    # Out of range: the advertisement goes and the link drops.
    f=fail-out-of-range
    if watch_until_connected $f && reading_arrives $f; then
        peripheral_say away
        ends_in_one_report $f "the reader out of range ends in one report"
        peripheral_say back
    else
        fail "out of range: set-up" "$(cat "$R/$f.err")"
        kill -INT "$watch_pid" 2>/dev/null
    fi

    # bluetoothd restarted mid-session; afterwards the peripheral is registered again.
    f=fail-bluetoothd-restarted
    if watch_until_connected $f && reading_arrives $f; then
        kill -TERM "$(cat /run/bluetoothd.pid)"
        sleep 1
        /usr/libexec/bluetooth/bluetoothd -n -d >> "$R/bluetoothd.log" 2>&1 &
        echo $! > /run/bluetoothd.pid
        ends_in_one_report $f "bluetoothd restarted mid-session ends in one report"
        if wait_for "$periph_log" "registering again" 30 &&
            central $f-after info --json --timeout 60; then
            pass "after bluetoothd's restart the peripheral is registered and found again"
        else
            fail "after bluetoothd's restart" "$(cat "$R/$f-after.err"; tail -3 "$periph_log")"
        fi
    else
        fail "bluetoothd restarted: set-up" "$(cat "$R/$f.err")"
        kill -INT "$watch_pid" 2>/dev/null
    fi
    stop_peripheral
}
