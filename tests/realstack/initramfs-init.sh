#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# PID 1 of the test bed's initramfs: the host's root over 9p under a tmpfs overlay, then
# the init named on the kernel command line (orvex.init=) in it.
mount -t proc proc /proc
[ -n "${debug:-}" ] && set -x
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo orvex-initramfs-alive
for arg in $(cat /proc/cmdline); do
    case "$arg" in
        orvex.init=*) init=${arg#orvex.init=} ;;
        orvex.results=*) results=${arg#orvex.results=} ;;
        orvex.trial=*) poweroff -f ;;
    esac
done
for module in $(cat /modules/order); do
    insmod "/modules/$module" || echo "initramfs: insmod $module failed"
done
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=262144 root /lower ||
    { echo "initramfs: cannot mount the host root"; poweroff -f; }
mount -t tmpfs -o size=128m tmpfs /upper
mkdir -p /upper/data /upper/work
mount -t overlay -o lowerdir=/lower,upperdir=/upper/data,workdir=/upper/work overlay /newroot ||
    { echo "initramfs: cannot mount the overlay"; poweroff -f; }
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 results "/newroot$results" ||
    { echo "initramfs: cannot mount the results folder"; poweroff -f; }
exec switch_root /newroot "$init"
