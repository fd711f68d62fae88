#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Boots Debian's kernel in qemu with the real Bluetooth stack and runs one guest script.
#
#   tests/realstack/boot.sh <results-dir> <guest-script> [arguments...]
#
# The guest sees this machine's root read-only (9p) under a tmpfs overlay, so it runs the
# tools built here at the same paths. It starts a system bus, two virtual LE controllers on
# one virtual radio (btvirt: hci0 and hci1) and bluetoothd, then runs <guest-script> with
# its arguments. <results-dir> is shared writable at the same path: the guest script writes
# its results there, and guest-init.sh leaves its log (guest.log), the script's exit status
# (status) and bluetoothd's log (bluetoothd.log) there. This script's exit status is the
# guest script's; a guest that never ran it fails with the reason (status "no-status").
#
# Needs root (the guest shares the host's root). Installs what it needs when missing.
# ORVEX_REALSTACK_ACCEL: tcg, kvm or auto (the default: KVM when a short trial boot shows
# it works, else TCG; the paravirtualised KVM of some cloud machines hangs a stock kernel).
# ORVEX_REALSTACK_TIMEOUT: seconds before a hung guest is stopped (default 300).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
if [ $# -lt 2 ]; then
    echo "usage: $0 <results-dir> <guest-script> [arguments...]" >&2
    exit 2
fi
results=$(mkdir -p "$1" && cd "$1" && pwd)
script=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
shift 2

fail() { echo "realstack: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "needs root (the guest mounts this machine's root read-only)"
[ -x "$script" ] || fail "$script is not an executable script"

# --- what the guest needs on this machine
need=()
command -v qemu-system-x86_64 >/dev/null || need+=(qemu-system-x86)
command -v btvirt >/dev/null || need+=(bluez-test-tools)
[ -x /usr/libexec/bluetooth/bluetoothd ] || need+=(bluez)
[ -x /bin/busybox ] && busybox --list | grep -qx switch_root || need+=(busybox-static)
command -v dbus-daemon >/dev/null || need+=(dbus)
ls /boot/vmlinuz-* >/dev/null 2>&1 || need+=(linux-image-amd64)
if [ ${#need[@]} -gt 0 ]; then
    echo "realstack: installing ${need[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get install -y --no-install-recommends "${need[@]}" >&2 ||
        { apt-get update >&2 && apt-get install -y --no-install-recommends "${need[@]}" >&2; } ||
        fail "could not install ${need[*]}"
fi
kernel=$(ls /boot/vmlinuz-* | sort -V | tail -1)
version=${kernel#/boot/vmlinuz-}
[ -d "/lib/modules/$version" ] || fail "no modules for kernel $version in /lib/modules"

# --- the initramfs: static busybox and the modules that reach the 9p root
work=$(mktemp -d /tmp/orvex-realstack.XXXXXX)
trap 'rm -rf "$work"' EXIT
root=$work/initramfs
mkdir -p "$root"/{bin,dev,proc,sys,lower,upper,newroot,modules}
cp /bin/busybox "$root/bin/busybox"
for applet in sh mount mkdir insmod switch_root cat poweroff echo sleep; do
    ln -s busybox "$root/bin/$applet"
done
: > "$root/modules/order"
for module in virtio_pci 9pnet_virtio 9p overlay; do
    modprobe -S "$version" --show-depends "$module" | while read -r verb path _; do
        [ "$verb" = insmod ] || continue
        name=$(basename "$path")
        grep -qx "$name" "$root/modules/order" && continue
        cp "$path" "$root/modules/$name"
        echo "$name" >> "$root/modules/order"
    done
done
cp "$here/initramfs-init.sh" "$root/init"
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initramfs.gz"

rm -f "$results/status" "$results/guest.log"
boot() {  # <accel> <seconds> <init> [arguments...]
    local accel=$1 seconds=$2 init=$3
    shift 3
    local accelOption=$accel
    # A bounded translation cache keeps qemu near 350 MB (unbounded it grew past 1 GB).
    [ "$accel" = tcg ] && accelOption="tcg,tb-size=128"
    timeout --kill-after=10 "$seconds" qemu-system-x86_64 -accel "$accelOption" -m 256 -smp 1 \
        -nographic -no-reboot -nodefaults -serial stdio \
        -kernel "$kernel" -initrd "$work/initramfs.gz" \
        -virtfs local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap \
        -virtfs "local,path=$results,mount_tag=results,security_model=none,multidevs=remap" \
        -append "console=ttyS0 ${ORVEX_REALSTACK_QUIET-quiet} panic=-1 no_timer_check orvex.results=$results orvex.init=$init $*"
}

accel=${ORVEX_REALSTACK_ACCEL:-auto}
if [ "$accel" = auto ]; then
    accel=tcg
    if [ -w /dev/kvm ]; then
        # A trial boot that only reaches the initramfs: seconds under a working KVM.
        if boot kvm 15 /bin/true orvex.trial=1 2>/dev/null | grep -q "orvex-initramfs-alive"; then
            accel=kvm
        fi
    fi
fi
echo "realstack: booting $version under $accel" >&2
start=$(date +%s)
set +e
boot "$accel" "${ORVEX_REALSTACK_TIMEOUT:-300}" "$here/guest-init.sh" \
    "orvex.script=$script" "orvex.args=$(IFS=,; echo "$*")" > "$results/console.log" 2>&1
qemuStatus=$?
set -e
echo "realstack: guest ran $(( $(date +%s) - start )) s" >&2
if [ ! -f "$results/status" ]; then
    if [ $qemuStatus = 124 ] || [ $qemuStatus = 137 ]; then
        reason="the guest hung (stopped after ${ORVEX_REALSTACK_TIMEOUT:-300} s)"
    else
        reason="qemu ended with status $qemuStatus before the guest script finished"
    fi
    echo "realstack: $reason; console:" >&2
    tail -40 "$results/console.log" >&2
    [ -f "$results/guest.log" ] && { echo "realstack: guest log:" >&2; tail -40 "$results/guest.log" >&2; }
    echo no-status > "$results/status"
    exit 1
fi
status=$(cat "$results/status")
case "$status" in
    ''|*[!0-9]*) echo "realstack: the guest failed: $status" >&2; tail -40 "$results/guest.log" >&2; exit 1 ;;
esac
exit "$status"
