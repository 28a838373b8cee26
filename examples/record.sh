#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Records examples/truck.log: vehcan-sim's truck on can1, captured with
# "candump -L" (the -l log format) on can0 in the rig, with a VIN request to
# all nodes (answered by broadcast), one to the engine alone (answered by
# RTS/CTS to a node that candump's host plays at 0xF9), and two transfers
# between other nodes: a complete one and an aborted one.
#
#   examples/record.sh [BUILD_DIR]     (default: build)
#
# A new recording has new times and frame order: the replay goldens
# (tests/cli/golden/replay_truck.*) must then be rewritten and checked again.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
cd "$top"
cmake --build "$build" --target vehcan-sim
sim=$build/tools/sim/vehcan-sim
out=$top/examples/truck.log
guest=$(mktemp /tmp/vehcan-record.XXXXXX.sh)
trap 'rm -f "$guest"' EXIT
cat >"$guest" <<GUEST
set -e
ip link set can0 up type can bitrate 500000
ip link set can1 up type can bitrate 500000
candump -L can0 >"$out.tmp" &
dump=\$!
sleep 0.5
"$sim" --duration 6 --quiet &
truck=\$!
sleep 1
cansend can0 18EAFFF9#ECFE00            # VIN, please, everybody
sleep 1
testj1939 -r -w3 can0:0xF9 >/dev/null & # a node at 0xF9 that takes a transfer
sleep 0.5
cansend can0 18EA00F9#ECFE00            # VIN, please, engine
sleep 1
"$sim" --scenario complete --quiet
"$sim" --scenario abort --quiet
wait \$truck
sleep 0.2
kill \$dump
GUEST
rig/run-guest.sh --timeout 300 -- bash "$guest"
mv "$out.tmp" "$out"
echo "recorded $(wc -l <"$out") frames in $out"
