#!/usr/bin/env bash
# Guest side of the demo (run by rig/run-guest.sh): the simulated truck on
# can1, and "vehcan monitor" with the given arguments on can0.
#
#   scripts/demo-guest.sh BUILD_DIR [MONITOR_ARGS...]
# Exit status: vehcan's.
set -euo pipefail
build=$1
shift
ip link set can1 up type can bitrate 500000
"$build/tools/sim/vehcan-sim" --quiet &
truck=$!
trap 'kill "$truck" 2>/dev/null || true; wait "$truck" 2>/dev/null || true' EXIT
status=0
"$build/tools/cli/vehcan" monitor "$@" || status=$?
exit "$status"
