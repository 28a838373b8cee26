#!/usr/bin/env bash
# The main job: builds vehcan and the simulated truck, boots the rig (a QEMU
# guest with can0 and can1 on one emulated CAN bus), starts vehcan-sim on
# can1 on its drive cycle and runs on can0 "vehcan scan" (the nodes, their
# NAMEs and identifications), then "vehcan monitor --duration 30 --db
# data/sample.xml": bit-rate detection, live values, the VIN by request and
# the DM1 fault: the live table when run on a terminal, else the line log.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
build=${VEHCAN_BUILD_DIR:-$top/build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target vehcan-cli vehcan-sim
echo "== booting the rig: vehcan-sim on can1, vehcan scan and vehcan monitor on can0"
# The guest's console is always a terminal: whether the monitor shows its
# live table depends on ours. On a terminal the guest's takes our size.
monitor=(--duration 30 --db data/sample.xml)
size=""
if [ -t 1 ]; then
  size="$(tput lines) $(tput cols)"
else
  monitor+=(--log)
fi
exec rig/run-guest.sh --timeout 300 -- \
  env VEHCAN_DEMO_TERMINAL_SIZE="$size" bash scripts/demo-guest.sh "$build" "${monitor[@]}"
