#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets the project up on a fresh Debian 12 machine, as a new user would,
# and checks that it works there:
#
#   scripts/fresh-machine-check.sh
#
# Bootstraps a minimal Debian 12 root (mmdebstrap --variant=minbase) from
# the build machine's Debian package sources into a scratch directory,
# clones the checkout's committed HEAD into it and runs there, chrooted,
# with /proc, /sys and /dev of the machine in a mount namespace of its own:
#   1. bash scripts/demo.sh, off a terminal (the monitor's line log): exit 0,
#      and the log shows the scan and the monitor's decoded values;
#   2. bash scripts/cross-build.sh armhf, then arm64: exit 0, and the vehcan
#      they build is an ARM program (32-bit ARM, AArch64);
#   3. dpkg --print-foreign-architectures lists nothing: no step enabled
#      another architecture on the machine.
# Each step's time is printed; its output goes to a log in the scratch
# directory ($VEHCAN_FRESH_DIR, default /var/tmp/vehcan-fresh), which is
# emptied first. Takes long (everything is downloaded and built cold):
# not part of scripts/test-all.sh. Exit status 0 when every check passed.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/debian-root.sh
. "$top/scripts/debian-root.sh"

if [ "$(id -u)" -ne 0 ]; then
  echo "fresh-machine-check: run as root (mmdebstrap, chroot)" >&2
  exit 2
fi
for tool in mmdebstrap git unshare file; do
  command -v "$tool" >/dev/null || { echo "fresh-machine-check: needs $tool" >&2; exit 2; }
done
scratch=${VEHCAN_FRESH_DIR:-/var/tmp/vehcan-fresh}
root=$scratch/root
revision=$(git -C "$top" rev-parse HEAD)

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
# Runs a shell command as root in the fresh root, output to LOG.
in_root() {
  local log=$1 command=$2
  # shellcheck disable=SC2016 # expanded by the inner shell
  unshare --mount --propagation private -- sh -c '
    root=$1
    mount --rbind /dev "$root/dev"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    exec chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      LANG=C.UTF-8 bash -c "$2"' sh "$root" "$command" </dev/null >"$log" 2>&1
}

rm -rf "$scratch"
mkdir -p "$scratch"
mapfile -t sources < <(debian_sources)
if [ ${#sources[@]} -eq 0 ]; then
  echo "fresh-machine-check: no Debian $debian_suite sources on this machine" >&2
  exit 2
fi
echo "fresh root: $debian_suite from ${sources[*]}"
started=$SECONDS
mmdebstrap --quiet --variant=minbase --aptopt='Acquire::Retries "3"' \
  "$debian_suite" "$root" "${sources[@]}"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"
git clone --quiet --no-checkout "$top" "$root/root/vehcan"
git -C "$root/root/vehcan" checkout --quiet --detach "$revision"
echo "fresh root ready: $((SECONDS - started)) s, checkout ${revision:0:12}"

step() {
  local name=$1 command=$2 started=$SECONDS status=0
  in_root "$scratch/$name.log" "cd /root/vehcan && $command" || status=$?
  echo "$name: exit $status, $((SECONDS - started)) s (log: $scratch/$name.log)"
  [ "$status" = 0 ] || { fail "$name exited with $status"; tail -20 "$scratch/$name.log"; }
  return 0
}

step demo "bash scripts/demo.sh"
# The line log of the monitor off a terminal: the VIN fetched by request and
# the DM1 fault of the simulated truck, and the scan's nodes.
for want in '== vehcan scan' '== vehcan monitor' 'VIN' 'DM1' 'rig: amd64 guest run took'; do
  grep -q "$want" "$scratch/demo.log" || fail "the demo's log has no '$want'"
done

for arch in armhf arm64; do
  step "cross-$arch" "bash scripts/cross-build.sh $arch"
done
check_elf() {
  local program=$1 want=$2 kind
  if [ ! -e "$program" ]; then
    fail "no ${program#"$root"}"
    return
  fi
  kind=$(file -b "$program")
  echo "${program#"$root"}: $kind"
  [[ "$kind" == *"$want"* ]] || fail "${program#"$root"} is not $want"
}
check_elf "$root/root/vehcan/build-arm/tools/cli/vehcan" "ELF 32-bit LSB pie executable, ARM, EABI5"
check_elf "$root/root/vehcan/build-arm64/tools/cli/vehcan" "ELF 64-bit LSB pie executable, ARM aarch64"

foreign=$(chroot "$root" dpkg --print-foreign-architectures)
echo "foreign architectures in the fresh root: '${foreign}'"
[ -z "$foreign" ] || fail "dpkg lists foreign architectures: $foreign"

echo "fresh-machine-check: $((SECONDS - started)) s in all, $failures failure(s)"
[ "$failures" = 0 ]
