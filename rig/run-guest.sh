#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real-kernel rig: boots the Debian kernel in QEMU with two CAN
# controllers on one emulated bus and runs one command inside, as root.
#
#   rig/run-guest.sh [--arch amd64|arm64] [--timeout SECONDS] [--boot-timeout SECONDS]
#                    [--disk IMAGE] [--power-cut SECONDS] [--] COMMAND [ARG...]
#
# --disk IMAGE gives the guest a disk of its own (a raw image, /dev/vda over
# virtio-blk; the guest loads virtio_blk and mounts it itself), e.g. for a
# store that must survive a power cut: what the guest did not sync is lost
# with QEMU. --power-cut SECONDS kills QEMU (SIGKILL, no shutdown) that many
# seconds after the guest came up; the run's status is then 137. A second
# run with the same --disk boots the disk as the cut left it.
#
# --arch amd64 (the default) boots the build machine's own Debian kernel in
# qemu-system-x86_64. --arch arm64 boots Debian's arm64 kernel in
# qemu-system-aarch64 -M virt -cpu cortex-a53 (TCG, 2 CPUs), with an arm64
# user space: the kernel, busybox, dash and iproute2 come from Debian's
# arm64 packages, extracted into a cache by rig/target-root.sh, whose
# usr/lib (the arm64 and armhf loaders, C libraries and the libraries of
# the cross-built programs) takes the place of the host's /usr/lib in the
# guest. There dash is /bin/sh, and busybox's applets and ip come first on
# PATH; the host's own programs cannot run, so COMMAND must be an ARM
# program (arm64, or armhf through the kernel's 32-bit compat layer) or a
# shell script.
#
# Inside the guest:
#   - the host's root file system is the root (over virtio-9p), so COMMAND may
#     be any host program or script, e.g. the project's build outputs; it runs
#     in the directory this script was started from, with the caller's PATH;
#   - can0 and can1 exist (kvaser_pci, SJA1000) on one bus and are down;
#     the modules can, can-raw, can-dev, sja1000, kvaser_pci and can-j1939 are
#     loaded; /dev/mqueue is mounted; root has every capability, so the
#     stack's full-size queues can be created;
#   - QEMU does not model bit timing: frames pass whatever rates the two
#     controllers are set to, and timings are emulated.
# COMMAND's output is streamed to this script's standard output, and its
# exit status becomes this script's. One boot serves one COMMAND: for several
# steps pass a shell, e.g. sh -c 'a && b'.
#
# Exit status: COMMAND's; 124 when the run exceeded --timeout (default 600 s);
# 125 when the guest did not come up within --boot-timeout (default 90 s) or
# QEMU ended without reporting a status.
# Installs its Debian packages first when they are missing
# (scripts/install-deps.sh rig, or rig-arm).
# VEHCAN_RIG_VERBOSE=1 shows the kernel's messages.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
run_timeout=600
boot_timeout=90
arch=amd64
disk=
power_cut=
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=$2; shift 2 ;;
    --timeout) run_timeout=$2; shift 2 ;;
    --boot-timeout) boot_timeout=$2; shift 2 ;;
    --disk) disk=$2; shift 2 ;;
    --power-cut) power_cut=$2; shift 2 ;;
    --) shift; break ;;
    -*) echo "rig: unknown option $1" >&2; exit 2 ;;
    *) break ;;
  esac
done
if [ $# -eq 0 ]; then
  sed -n '2,/^set -euo/p' "$0" | sed -e '$d' -e 's/^# \{0,1\}//' >&2
  exit 2
fi

if [ "$arch" = amd64 ]; then
  bash "$top/scripts/install-deps.sh" rig >/dev/null
else
  bash "$top/scripts/install-deps.sh" rig-arm >/dev/null
fi

case "$arch" in
  amd64)
    modules_root=/
    kernel_version=$(ls /lib/modules | sort -V | tail -1)
    kernel_image=/boot/vmlinuz-$kernel_version
    busybox=/bin/busybox
    stage2_shell=/bin/bash
    ;;
  arm64)
    target=$(bash "$top/rig/target-root.sh" "$arch") || exit 125
    modules_root=$target/root
    kernel_version=$(cat "$target/kernel")
    kernel_image=$target/root/boot/vmlinuz-$kernel_version
    busybox=$target/root/bin/busybox
    stage2_shell=$target/root/bin/dash
    ;;
  *) echo "rig: unknown --arch $arch (amd64 or arm64)" >&2; exit 2 ;;
esac
if [ ! -r "$kernel_image" ]; then
  echo "rig: no kernel image $kernel_image for modules $kernel_version" >&2
  exit 125
fi
# shellcheck source=rig/guest-initramfs.sh
. "$top/rig/guest-initramfs.sh"

work=$(mktemp -d /tmp/vehcan-rig.XXXXXX)
qemu_pid=
cleanup() {
  if [ -n "$qemu_pid" ] && kill -0 "$qemu_pid" 2>/dev/null; then
    kill "$qemu_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# ---- the initramfs: busybox and what it takes to mount the host over 9p ----
root=$work/initramfs
initramfs_start "$root" "$busybox" mnt/host
# On ARM the target root's usr/lib serves as /usr/lib (and so /lib): the
# loaders and libraries of the guest's programs, dash's own included.
libs_bind=
if [ "$arch" != amd64 ]; then
  libs_bind="/bin/busybox mount --bind /mnt/host$target/root/usr/lib /mnt/host/usr/lib"
fi
initramfs_modules "$root" virtio_pci 9pnet_virtio 9p

cat >"$root/init" <<EOF
#!/bin/sh
# Guest side, stage 1: mount the host's root and hand over to stage 2.
/bin/busybox mount -t proc proc /proc
/bin/busybox mount -t sysfs sys /sys
/bin/busybox mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1
for m in $load_list; do /bin/busybox insmod /modules/\$m; done
if ! /bin/busybox mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 hostroot /mnt/host; then
  echo "rig: cannot mount the host root" >/dev/console
  /bin/busybox reboot -f
fi
for d in proc sys dev; do /bin/busybox mount --bind /\$d /mnt/host/\$d; done
$libs_bind
exec /bin/busybox chroot /mnt/host $stage2_shell $work/stage2.sh
EOF
chmod +x "$root/init"

# ---- stage 2, in the host's root: CAN, queues, the command --------------------
# On ARM the target's dash runs stage 2 and serves system()'s /bin/sh;
# busybox's applets and the target's ip come first on PATH. The CAN modules load
# from the unpacked kernel package, which the guest sees through 9p.
path=$PATH
[ "$arch" = amd64 ] || path=$target/bin:$PATH
{
  echo "#!/bin/sh"
  echo "# Guest side, stage 2: runs in the host's file system as root."
  printf 'export PATH=%q\n' "$path"
  echo "export HOME=/root LANG=C.UTF-8 VEHCAN_IN_RIG=1"
  echo ": >$work/booted"
  [ "$arch" = amd64 ] || echo "mount --bind $stage2_shell /bin/sh"
  echo "mkdir -p /dev/mqueue && mount -t mqueue none /dev/mqueue"
  echo "mount -t tmpfs none /dev/shm 2>/dev/null || true"
  echo "ip link set lo up"
  if [ "$arch" = amd64 ]; then
    echo "for m in can can-raw can-dev sja1000 kvaser_pci can-j1939; do"
    echo "  modprobe \$m || echo \"rig: modprobe \$m failed\""
    echo "done"
  else
    for file in $(module_files can can-raw can-dev sja1000 kvaser_pci can-j1939); do
      echo "insmod $file || echo \"rig: insmod $(basename "$file") failed\""
    done
  fi
  echo "tries=0; while ! ip link show can1 >/dev/null 2>&1 && [ \$tries -lt 50 ]; do"
  echo "  sleep 0.1; tries=\$((tries + 1)); done"
  printf 'cd %q\n' "$PWD"
  printf '%q ' "$@"
  echo
  echo "echo \$? >$work/status.tmp && mv $work/status.tmp $work/status"
  echo "sync"
  # busybox's: a minimal Debian root has no reboot of its own
  printf '%q reboot -f\n' "$busybox"
} >"$work/stage2.sh"

initramfs_pack "$root" "$work/initramfs.gz"

case "$arch" in
  amd64)
    console=ttyS0
    # TCG: a KVM guest hangs at boot on these machines.
    machine=(qemu-system-x86_64 -accel tcg -m 1536 -smp 1)
    ;;
  arm64)
    console=ttyAMA0
    machine=(qemu-system-aarch64 -M virt -cpu cortex-a53 -accel tcg -m 1024 -smp 2)
    ;;
esac
console_args="console=$console quiet loglevel=0"
if [ "${VEHCAN_RIG_VERBOSE:-0}" = 1 ]; then
  console_args="console=$console loglevel=7"
fi

# ---- boot ----------------------------------------------------------------------------
"${machine[@]}" -no-reboot \
  -display none -monitor none -serial stdio \
  -kernel "$kernel_image" -initrd "$work/initramfs.gz" \
  -append "$console_args panic=-1 rdinit=/init" \
  -fsdev local,id=fs0,path=/,security_model=none,multidevs=remap \
  -device virtio-9p-pci,fsdev=fs0,mount_tag=hostroot \
  "${can_bus_args[@]}" \
  ${disk:+-drive file=$disk,format=raw,if=virtio} \
  </dev/null > >(tr -d '\r') 2>&1 &
qemu_pid=$!

started=$SECONDS
verdict=
while kill -0 "$qemu_pid" 2>/dev/null; do
  if [ ! -e "$work/booted" ] && [ $((SECONDS - started)) -ge "$boot_timeout" ]; then
    verdict="rig: the guest did not come up within ${boot_timeout}s"
    kill "$qemu_pid" 2>/dev/null || true
    status=125
    break
  fi
  if [ -n "$power_cut" ] && [ -e "$work/booted" ]; then
    [ -n "${booted_at:-}" ] || booted_at=$SECONDS
    if [ $((SECONDS - booted_at)) -ge "$power_cut" ]; then
      kill -KILL "$qemu_pid" 2>/dev/null || true
      verdict="rig: power cut ${power_cut}s after the guest came up"
      status=137
      break
    fi
  fi
  if [ $((SECONDS - started)) -ge "$run_timeout" ]; then
    verdict="rig: the guest run exceeded ${run_timeout}s and was stopped"
    kill "$qemu_pid" 2>/dev/null || true
    status=124
    break
  fi
  sleep 0.5
done
wait "$qemu_pid" 2>/dev/null || true
qemu_pid=
sleep 0.2 # let the console filter flush

if [ -z "$verdict" ]; then
  if [ -s "$work/status" ]; then
    status=$(cat "$work/status")
  else
    verdict="rig: QEMU ended without a status from the guest"
    status=125
  fi
fi
[ -z "$verdict" ] || echo "$verdict" >&2
echo "rig: $arch guest run took $((SECONDS - started))s, status $status"
exit "$status"
