#!/usr/bin/env bash
# Guest side of the demo (run by rig/run-guest.sh): the simulated truck on
# can1 on its drive cycle, then on can0 "vehcan scan" and "vehcan monitor"
# with the given arguments (the live table on a terminal, else the line log).
#
#   scripts/demo-guest.sh BUILD_DIR [MONITOR_ARGS...]
# Exit status: the monitor's, or the scan's when it failed.
set -euo pipefail
build=$1
shift
# The serial console knows no size of its own: take the one demo.sh saw.
if [ -n "${VEHCAN_DEMO_TERMINAL_SIZE:-}" ] && [ -t 1 ]; then
  read -r rows cols <<<"$VEHCAN_DEMO_TERMINAL_SIZE"
  stty rows "$rows" cols "$cols" <&1 2>/dev/null || true
fi
ip link set can1 up type can bitrate 500000
"$build/tools/sim/vehcan-sim" --quiet --drive &
truck=$!
trap 'kill "$truck" 2>/dev/null || true; wait "$truck" 2>/dev/null || true' EXIT
status=0
echo "== vehcan scan: who is on the bus"
"$build/tools/cli/vehcan" scan || status=$?
echo "== vehcan monitor $*"
"$build/tools/cli/vehcan" monitor "$@" || status=$?
exit "$status"
