# SPDX-License-Identifier: MIT
# The verdicts of the guest-side case scripts (sourced): one line per case,
# the output of a failed one, and $failed set for the script's exit status.
# Expects $work, the scratch folder whose file "out" holds a case's output.
# shellcheck shell=bash
failed=0

pass() { echo "PASS $1"; }
fail() { echo "FAIL $1: $2"; echo "---- output"; cat "$work/out"; echo "----"; failed=1; }
# expect NAME STATUS WANTED_STATUS PATTERN...: the status, then each pattern in the output
expect() {
    local name=$1 status=$2 want=$3
    shift 3
    if [ "$status" != "$want" ]; then
        fail "$name" "exit status $status, expected $want"
        return
    fi
    for pattern in "$@"; do
        if ! grep -q -E -- "$pattern" "$work/out"; then
            fail "$name" "no line matches '$pattern'"
            return
        fi
    done
    pass "$name"
}
