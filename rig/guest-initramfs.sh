# SPDX-License-Identifier: MIT
# Sourced by the rig's launchers (rig/run-guest.sh, rig/run-systemd-guest.sh):
# the guest's small busybox initramfs and its CAN bus. Expects
# $kernel_version, and $modules_root when the modules are not the build
# machine's own (/).
# shellcheck shell=bash

# The modules that NAME needs, and NAME, in load order (one path a line).
# A module built into the kernel gives nothing.
module_files() {
  modprobe -d "${modules_root:-/}" -S "$kernel_version" --show-depends -a "$@" 2>/dev/null |
    awk '$1 == "insmod" && !seen[$2]++ { print $2 }'
}

# initramfs_start ROOT BUSYBOX DIR...: busybox as the initramfs's shell and
# its directories; load_list starts empty.
initramfs_start() {
  local root=$1 busybox=$2
  shift 2
  mkdir -p "$root"/{bin,dev,proc,sys,modules}
  local d
  for d in "$@"; do mkdir -p "$root/$d"; done
  cp "$busybox" "$root/bin/busybox"
  ln -s busybox "$root/bin/sh"
  load_list=
}

# initramfs_modules ROOT NAME...: the modules, with what they need, into the
# initramfs; their file names are added to load_list in load order.
initramfs_modules() {
  local root=$1 file
  shift
  for file in $(module_files "$@"); do
    cp "$file" "$root/modules/"
    load_list="$load_list $(basename "$file")"
  done
}

# initramfs_pack ROOT OUT: the initramfs as a gzipped cpio archive.
initramfs_pack() {
  (cd "$1" && find . | cpio -o -H newc --quiet | gzip -1) >"$2"
}

# QEMU's options for the two CAN controllers (kvaser_pci, SJA1000) on one
# emulated bus: can0 and can1 in the guest.
can_bus_args=(-object can-bus,id=canbus0
  -device kvaser_pci,canbus=canbus0 -device kvaser_pci,canbus=canbus0)
