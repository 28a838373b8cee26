#!/usr/bin/env bash
# Guest side of rig.cli: vehcan on can0 against vehcan-sim's truck on can1.
#   tests/cli/rig_cases.sh VEHCAN VEHCAN_SIM DATABASE
# Prints one line per case and exits non-zero if any failed.
set -uo pipefail
vehcan=$1
sim=$2
db=$3
work=$(mktemp -d)
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

ip link set can1 up type can bitrate 500000
"$sim" --quiet &
truck=$!
trap 'kill $truck 2>/dev/null; wait $truck 2>/dev/null; rm -rf "$work"' EXIT

# The live view: probe, bit rate, values, the VIN by request, the DM1 fault.
"$vehcan" monitor --duration 6 --db "$db" >"$work/out" 2>&1
expect monitor.live_view $? 0 \
    '^probing 250000 bit/s\.\.\. no traffic$' \
    '^probing 500000 bit/s\.\.\. traffic$' \
    '^can0 up at 500000 bit/s$' \
    ' 61444 EEC1 +engine speed 1500 rpm; Engine Torque Mode ' \
    ' 65260 VI +VIN 1HTMKAAN0CH123456$' \
    ' 65226 DM1 +lamps MIL off, red stop off, amber warning on, protect off; SPN 110 Engine Coolant Temperature FMI 16 ' \
    ' 65132 TCO1 +tachograph vehicle speed 80 km/h; driver 1 working state Drive - behind wheel' \
    ' 65131 DI +driver 1 id D1CARD000123456; driver 2 id D2CARD000654321$' \
    '^monitor ended after '

# JSON lines only on standard output.
# 8 s: long enough for a second VIN request, should the first be lost.
"$vehcan" monitor --duration 8 --json >"$work/out" 2>"$work/err"
status=$?
if cmake -DFILE="$work/out" -P "$(dirname "$0")/json_lines.cmake" >"$work/err2" 2>&1; then
    expect monitor.json_lines "$status" 0 '^\{"acronym":"EEC1",.*"pgn":61444,' '"text":"1HTMKAAN0CH123456"'
else
    fail monitor.json_lines "a line is not JSON: $(cat "$work/err2")"
fi

# Ctrl-C ends the monitor cleanly: tear-down and exit status 0.
"$vehcan" monitor >"$work/out" 2>&1 &
monitor=$!
for _ in $(seq 60); do
    grep -q 'EEC1' "$work/out" && break
    sleep 0.5
done
kill -INT $monitor
wait $monitor
expect monitor.interrupt $? 0 ' 61444 EEC1 ' '^monitor ended after '

# Requests: a single frame, a transfer by RTS/CTS, a NACK, no answer.
"$vehcan" request 65262 --to 0x00 >"$work/out" 2>&1
expect request.single_frame $? 0 '^ET1 Engine Temperature 1 \(PGN 65262\), 8 bytes$' \
    'engine coolant temperature \(SPN 110\): 90 °C$'
"$vehcan" --library-output request 65260 --to 0x00 --json >"$work/out" 2>&1
expect request.transfer_to_us $? 0 '"text":"1HTMKAAN0CH123456"'
"$vehcan" request 65280 --to 0x00 >"$work/out" 2>&1
expect request.refused $? 7 '^vehcan: request for PGN 65280 refused by 0x00: negative acknowledgement'
# (A PGN that nobody broadcasts: the stack takes any message of the
# requested PGN as the answer, whoever sent it.)
"$vehcan" request 65260 --to 0x55 >"$work/out" 2>&1
expect request.no_answer $? 6 '^vehcan: no answer to two requests for PGN 65260 from 0xF9 to 0x55, 3 s each$'

# Without CAP_SYS_RESOURCE the stack's 5000-record queues exceed the limits.
setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=+net_admin \
    --ambient-caps=+net_admin "$vehcan" monitor --duration 1 >"$work/out" 2>&1
expect monitor.queue_limits $? 5 '^vehcan: cannot create the message queues: the queue limits are too low'

exit $failed
