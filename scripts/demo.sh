#!/usr/bin/env bash
# The main job: builds vehcan and shows it at work.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build
./build/pgnparse
