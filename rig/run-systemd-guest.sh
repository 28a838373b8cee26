#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Boots the systemd rig guest once: Debian's kernel in QEMU (TCG) with the
# root on a disk image, systemd as init, two kvaser_pci CAN controllers on
# one emulated bus, and a host directory shared over 9p.
#
#   rig/run-systemd-guest.sh [--arch amd64|arm64|armhf] --disk IMAGE --share DIR
#                            [--timeout SECONDS]
#
# --arch: the disk's architecture. amd64 (the default) boots the build
# machine's kernel in qemu-system-x86_64; arm64 and armhf boot Debian's
# arm64 kernel (from rig/target-root.sh's cache) in qemu-system-aarch64 -M
# virt -cpu cortex-a53, as rig/run-guest.sh --arch arm64 does: an armhf root
# is the 32-bit user space of a gateway on the 64-bit kernel, its systemd
# and programs running through the kernel's compat layer.
# --disk: the guest's root (a copy of rig/systemd-image.sh's image; it
# keeps what the guest writes from one boot to the next). --share: seen in
# the guest as 9p tag "rig"; the image's rig-step.service mounts it at
# /run/rig and runs its step.sh at every boot. When the guest creates the
# file "power-cut" in it, QEMU is killed at once: the power is cut, nothing
# is shut down or synced. A small busybox initramfs loads the modules (disk,
# ext4, 9p, CAN: kvaser_pci, can-j1939) and hands over to the disk's
# /sbin/init. The console goes to standard output.
#
# Exit status: 0 when the guest powered off or its power was cut; 124 when
# --timeout (default 900 s) passed first.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
disk= share= run_timeout=900 arch=amd64
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=$2; shift 2 ;;
    --disk) disk=$2; shift 2 ;;
    --share) share=$2; shift 2 ;;
    --timeout) run_timeout=$2; shift 2 ;;
    *) echo "rig: unknown argument $1" >&2; exit 2 ;;
  esac
done
[ -n "$disk" ] && [ -n "$share" ] || { sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2; exit 2; }

case "$arch" in
  amd64)
    kernel_version=$(ls /lib/modules | sort -V | tail -1)
    kernel_image=/boot/vmlinuz-$kernel_version
    busybox=/bin/busybox
    machine=(qemu-system-x86_64 -accel tcg -m 1536 -smp 2)
    # no_timer_check: on a loaded host TCG's timer can miss the kernel's
    # IO-APIC check, which then panics at boot.
    console="ttyS0 no_timer_check"
    ;;
  arm64 | armhf)
    target=$(bash "$top/rig/target-root.sh" arm64)
    modules_root=$target/root
    kernel_version=$(cat "$target/kernel")
    kernel_image=$target/root/boot/vmlinuz-$kernel_version
    busybox=$target/root/bin/busybox
    machine=(qemu-system-aarch64 -M virt -cpu cortex-a53 -accel tcg -m 1536 -smp 2)
    console=ttyAMA0
    ;;
  *) echo "rig: unknown --arch $arch (amd64, arm64 or armhf)" >&2; exit 2 ;;
esac
# shellcheck source=rig/guest-initramfs.sh
. "$top/rig/guest-initramfs.sh"

work=$(mktemp -d /tmp/vehcan-sysrig.XXXXXX)
qemu_pid=
cleanup() {
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then kill -9 "$qemu_pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

root=$work/initramfs
initramfs_start "$root" "$busybox" newroot
initramfs_modules "$root" virtio_pci virtio_blk ext4 9pnet_virtio 9p \
  can can-raw can-dev sja1000 kvaser_pci can-j1939
cat >"$root/init" <<INIT
#!/bin/sh
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sys /sys
/bin/busybox mount -t devtmpfs dev /dev
for m in $load_list; do /bin/busybox insmod /modules/\$m 2>/dev/null; done
tries=0
while [ ! -b /dev/vda ] && [ \$tries -lt 50 ]; do /bin/busybox sleep 0.1; tries=\$((tries + 1)); done
if ! /bin/busybox mount -t ext4 /dev/vda /newroot; then
  echo "rig: cannot mount the guest's root" >/dev/console
  /bin/busybox poweroff -f
fi
/bin/busybox umount /proc /sys
/bin/busybox mount --move /dev /newroot/dev
exec /bin/busybox switch_root /newroot /sbin/init
INIT
chmod +x "$root/init"
initramfs_pack "$root" "$work/initramfs.gz"

rm -f "$share/power-cut"
"${machine[@]}" -no-reboot \
  -display none -monitor none -serial stdio \
  -kernel "$kernel_image" -initrd "$work/initramfs.gz" \
  -append "console=$console quiet loglevel=3 panic=-1 rdinit=/init systemd.show_status=false" \
  -drive "file=$disk,if=virtio,format=raw" \
  -fsdev "local,id=rig,path=$share,security_model=none" \
  -device virtio-9p-pci,fsdev=rig,mount_tag=rig \
  "${can_bus_args[@]}" \
  </dev/null > >(tr -d '\r') 2>&1 &
qemu_pid=$!

started=$SECONDS
status=0
while kill -0 "$qemu_pid" 2>/dev/null; do
  if [ -e "$share/power-cut" ]; then
    kill -9 "$qemu_pid"
    echo "rig: power cut"
    break
  fi
  if [ $((SECONDS - started)) -ge "$run_timeout" ]; then
    kill -9 "$qemu_pid"
    echo "rig: the guest run exceeded ${run_timeout}s and was stopped" >&2
    status=124
    break
  fi
  sleep 0.2
done
wait "$qemu_pid" 2>/dev/null || true
qemu_pid=
sleep 0.2
echo "rig: systemd guest ran $((SECONDS - started))s"
exit "$status"
