#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the rig's CTest entries (label "rig") of a build directory, every
# case's result shown and the reassembly's "PGN VAL" lines left out. When
# one fails, it ends with each failed check and the lines that explain it:
# gtest's "Failure" blocks, the shell cases' FAIL and "not ok" lines, and
# the tests CTest lists as failed. A rig run prints thousands of lines; this
# puts what went wrong at its end, where a CI log's tail shows it.
#
#   scripts/rig-ctest.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: scripts/rig-ctest.sh BUILD_DIR}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ctest --test-dir "$build" -L rig --output-on-failure -V 2>&1 | tee "$log" |
   grep -v -E '^[0-9]+: PGN VAL'; then
  exit 0
fi
echo "---- what failed"
grep -E -A8 ': Failure$|^[0-9]+: FAIL |^[0-9]+: not ok |\[  FAILED  \] [A-Za-z]|^The following tests FAILED' \
  "$log" | grep -v -E '^[0-9]+: PGN VAL' | head -n 200 || true
exit 1
