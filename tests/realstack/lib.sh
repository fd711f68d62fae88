# SPDX-License-Identifier: Apache-2.0
# Helpers for guest scripts of the test bed: the peripheral on hci1, the central's tool on
# hci0, and one line per check in $ORVEX_RESULTS/report.txt ("ok <name>" or "FAIL <name>: why").

orvex=${ORVEX:?ORVEX names the orvex tool}
report=$ORVEX_RESULTS/report.txt
failures=0
periph_pid=

now() { cut -d' ' -f1 /proc/uptime; }
note() { echo "[$(now)] $*"; }
pass() { echo "ok $1" >> "$report"; note "ok $1"; }
fail() {
    echo "FAIL $1: $2" >> "$report"
    note "FAIL $1: $2"
    failures=$((failures + 1))
}
# check <name> <command...>: the command's success is the check's.
check() {
    local name=$1
    shift
    if "$@"; then pass "$name"; else fail "$name" "$* failed"; fi
}

# Waits up to <seconds> for <file> to hold a line matching <pattern>.
wait_for() {  # <file> <pattern> <seconds>
    local end=$(( $(date +%s) + $3 ))
    while [ "$(date +%s)" -le "$end" ]; do
        grep -q -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.2
    done
    return 1
}

# start_peripheral <log-name> [options...]: orvex peripheral on hci1, its terminal a FIFO
# written through fd 7 (peripheral_say), its output in $ORVEX_RESULTS/<log-name>.log.
start_peripheral() {
    local name=$1
    shift
    periph_log=$ORVEX_RESULTS/$name.log
    rm -f /tmp/periph.in
    mkfifo /tmp/periph.in
    "$orvex" peripheral --adapter hci1 --delay "${periph_delay:-0.01}" "$@" < /tmp/periph.in > "$periph_log" 2>&1 &
    periph_pid=$!
    exec 7> /tmp/periph.in
    local end=$(( $(date +%s) + 60 ))
    while [ "$(date +%s)" -le "$end" ] && kill -0 "$periph_pid" 2>/dev/null; do
        grep -q "^ready" "$periph_log" && return 0
        sleep 0.2
    done
    return 1
}
peripheral_say() { echo "$*" >&7; }
stop_peripheral() {
    [ -n "$periph_pid" ] || return 0
    kill -TERM "$periph_pid" 2>/dev/null
    wait "$periph_pid"
    local status=$?
    exec 7>&-
    periph_pid=
    return $status
}

# central <name> <command> [options...]: the tool on hci0; output in <name>.out/.err.
central() {
    local name=$1
    shift
    "$orvex" "$@" --adapter hci0 > "$ORVEX_RESULTS/$name.out" 2> "$ORVEX_RESULTS/$name.err"
}
json_field() { python3 -c 'import json,sys; d=json.load(open(sys.argv[1]));
for k in sys.argv[2].split("."): d=d[k]
print(d)' "$1" "$2"; }
