#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Prints, from the log of a rig run, each failed check with the lines that
# explain it: gtest's "Failure" blocks, the shell cases' FAIL and "not ok"
# lines, and the tests CTest lists as failed. A rig run prints thousands of
# lines; this puts what went wrong at its end, where a CI log's tail shows it.
#
#   scripts/rig-failures.sh LOG
set -euo pipefail
log=${1:?usage: scripts/rig-failures.sh LOG}
echo "---- what failed (from $(basename "$log"))"
grep -E -A8 ': Failure$|^[0-9]+: FAIL |^[0-9]+: not ok |\[  FAILED  \] [A-Za-z]|^The following tests FAILED' \
  "$log" | grep -v -E '^[0-9]+: PGN VAL' | head -n 200 || true
