#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# PID 1 in the test bed's guest (see boot.sh): the system bus, two virtual LE controllers
# and bluetoothd, then the guest script named on the kernel command line. Its exit status
# goes to <results>/status; then the guest powers off.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8
mount -t proc proc /proc
mount -t sysfs sysfs /sys
script= args= results=
for arg in $(cat /proc/cmdline); do
    case "$arg" in
        orvex.script=*) script=${arg#orvex.script=} ;;
        orvex.args=*) args=${arg#orvex.args=} ;;
        orvex.results=*) results=${arg#orvex.results=} ;;
    esac
done
export ORVEX_RESULTS=$results
if ! : > "$results/guest.log"; then
    echo "guest-init: cannot write to the results folder $results"
    grep -e 9p -e overlay /proc/mounts
    busybox poweroff -f
fi
exec > "$results/guest.log" 2>&1
t0=$(cut -d' ' -f1 /proc/uptime)
stamp() { echo "[$(cut -d' ' -f1 /proc/uptime)] $*"; }
finish() {
    echo "$1" > "$results/status"
    sync
    busybox poweroff -f
}

mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /run
mkdir -p /dev/pts /dev/shm /run/dbus
mount -t devpts devpts /dev/pts
mount -t tmpfs tmpfs /dev/shm
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /var/lib/bluetooth
stamp "guest up at $t0"

modprobe bluetooth && modprobe hci_vhci || finish "the kernel has no Bluetooth modules"
dbus-uuidgen --ensure
dbus-daemon --system --fork || finish "the system bus did not start"
stamp "system bus up"
# Both controllers known to the kernel's management interface before bluetoothd starts.
# On a busy machine the kernel's first HCI Reset to btvirt can time out ("Opcode 0x0c03
# failed: -110"), which leaves that controller dead: then btvirt starts again.
controllers() { timeout 5 btmgmt info 2>/dev/null | grep -c "^hci[01]:"; }
for attempt in 1 2 3; do
    btvirt -L -l2 >> "$results/btvirt.log" 2>&1 &
    btvirt=$!
    for _ in $(seq 25); do
        [ "$(controllers)" = 2 ] && break
        sleep 0.2
    done
    [ "$(controllers)" = 2 ] && break
    stamp "btvirt attempt $attempt: $(controllers) of 2 controllers up; starting it again"
    kill $btvirt
    wait $btvirt
    sleep 1
done
[ "$(controllers)" = 2 ] || finish "btvirt did not make hci0 and hci1 in 3 attempts"
/usr/libexec/bluetooth/bluetoothd -n -d ${ORVEX_BLUETOOTHD_CONF:+-f "$ORVEX_BLUETOOTHD_CONF"} \
    > "$results/bluetoothd.log" 2>&1 &
echo $! > /run/bluetoothd.pid
# Both adapters powered and both on the bus (bluetoothd takes them one at a time).
ready() {
    for index in 0 1; do
        timeout 5 btmgmt --index $index info 2>/dev/null | grep -q "current settings:.*powered" || return 1
    done
    # (bluetoothctl would wait forever for a bluetoothd not yet on the bus.)
    [ "$(dbus-send --system --print-reply --reply-timeout=2000 --dest=org.bluez / \
        org.freedesktop.DBus.ObjectManager.GetManagedObjects 2>/dev/null |
        grep -c 'object path "/org/bluez/hci[01]"')" = 2 ]
}
for _ in $(seq 300); do
    ready && break
    sleep 0.2
done
ready || finish "bluetoothd did not bring up both adapters"
stamp "bluetoothd up, both adapters powered"

stamp "running $script ${args//,/ }"
IFS=, read -r -a argv <<< "$args"
"$script" "${argv[@]}"
status=$?
stamp "$script ended with $status"
finish "$status"
