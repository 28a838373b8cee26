#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Guest side of the demo (run by rig/run-guest.sh): the simulated truck on
# can1 on its drive cycle, then on can0 "vehcan scan" and "vehcan monitor"
# with the given arguments.
#
#   scripts/demo-guest.sh BUILD_DIR [MONITOR_ARGS...]
#
# With VEHCAN_DEMO_LIVE=1 the monitor shows its live table on a terminal of
# its own (tmux in the guest: the serial console does not carry a full-screen
# view intact) and the screen is printed every few seconds, then q ends it.
# Otherwise the monitor writes to the console as it is.
# Exit status: the monitor's, or the scan's when it failed.
set -euo pipefail
build=$1
shift
vehcan=$build/tools/cli/vehcan
ip link set can1 up type can bitrate 500000
"$build/tools/sim/vehcan-sim" --quiet --drive &
truck=$!
trap 'kill "$truck" 2>/dev/null || true; wait "$truck" 2>/dev/null || true' EXIT
status=0
echo "== vehcan scan: who is on the bus"
"$vehcan" scan || status=$?
echo "== vehcan monitor $*"
if [ "${VEHCAN_DEMO_LIVE:-0}" != 1 ]; then
  "$vehcan" monitor "$@" || status=$?
  exit "$status"
fi

# tmux's socket cannot live on the host's file system (9p): a tmpfs.
mkdir -p /dev/shm /dev/pts
mountpoint -q /dev/shm || mount -t tmpfs none /dev/shm
mountpoint -q /dev/pts || mount -t devpts devpts /dev/pts
live() { tmux -S /dev/shm/vehcan-demo.sock "$@"; }
result=$(mktemp)
live new-session -d -s demo -x "${COLUMNS:-120}" -y 30 \
  "$(printf '%q ' "$vehcan" monitor "$@") 2>$result.err; echo \$? >$result"
for second in $(seq 2 2 40); do
  sleep 2
  if [ -s "$result" ] || ! live has-session -t demo 2>/dev/null; then
    break
  fi
  echo "---- the live table, $second s after the start"
  live capture-pane -p -t demo
done
live send-keys -t demo q 2>/dev/null || true # when --duration has not ended it
for _ in $(seq 40); do [ -s "$result" ] && break; sleep 0.5; done
cat "$result.err" 2>/dev/null || true
monitor_status=$(cat "$result" 2>/dev/null || echo 1)
rm -f "$result" "$result.err"
[ "$monitor_status" = 0 ] || status=$monitor_status
exit "$status"
