# SPDX-License-Identifier: MIT
# What the MQTT test scripts share (sourced): a scratch directory, the
# background processes to stop at the end, and waiting on a condition.
work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do
        kill "$p" 2>/dev/null
        wait "$p" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT

# wait_until SECONDS COMMAND...: polls the condition every 0.2 s; the bound
# is generous, as the machine may be loaded.
wait_until() {
    local end=$((SECONDS + $1))
    shift
    until "$@"; do
        [ $SECONDS -ge $end ] && return 1
        sleep 0.2
    done
}
