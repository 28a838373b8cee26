#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The main job: builds vehcan and the simulated truck, boots the rig (a QEMU
# guest with can0 and can1 on one emulated CAN bus), starts vehcan-sim on
# can1 on its drive cycle and runs on can0 "vehcan scan" (the nodes, their
# NAMEs and identifications), then "vehcan monitor --duration 30 --db
# data/sample.xml": bit-rate detection, live values, the VIN by request and
# the DM1 fault: the live table when run on a terminal, else the line log.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh demo
build=${VEHCAN_BUILD_DIR:-$top/build}
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target vehcan-cli vehcan-sim
echo "== booting the rig: vehcan-sim on can1, vehcan scan and vehcan monitor on can0"
# The guest's console is always a terminal, but it does not carry a
# full-screen view intact. On our terminal the monitor's live table runs on a
# terminal in the guest (tmux) and its screen is printed every few seconds;
# otherwise the monitor prints its line log.
monitor=(--duration 30 --db data/sample.xml)
live=0
if [ -t 1 ]; then
  live=1
else
  monitor+=(--log)
fi
exec rig/run-guest.sh --timeout 300 -- \
  env VEHCAN_DEMO_LIVE="$live" COLUMNS="$(tput cols 2>/dev/null || echo 120)" \
  bash scripts/demo-guest.sh "$build" "${monitor[@]}"
