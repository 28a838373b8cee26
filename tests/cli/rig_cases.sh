#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Guest side of rig.cli: vehcan on can0 against vehcan-sim's truck on can1.
#   tests/cli/rig_cases.sh VEHCAN VEHCAN_SIM DATABASE CLAIM_PEER
# Prints one line per case and exits non-zero if any failed.
set -uo pipefail
vehcan=$1
sim=$2
db=$3
claim_peer=$4
work=$(mktemp -d)
source "$(dirname "$0")/../rig_expect.sh"

ip link set can1 up type can bitrate 500000
"$sim" --quiet &
truck=$!
trap 'kill $truck 2>/dev/null; wait $truck 2>/dev/null; tmux -S /dev/shm/vehcan-rig.sock kill-server 2>/dev/null; rm -rf "$work"' EXIT

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

# The other cases on a 250 kbit/s bus (the simulated truck sends only while
# can0 is at its rate), which the probe finds at its first rate: each
# bring-up then spends no listening time on a silent rate.
kill $truck 2>/dev/null
wait $truck 2>/dev/null
"$sim" --quiet --bus-rate 250000 &
truck=$!

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

# The inventory: both nodes with their NAMEs, their identifications by
# RTS/CTS, the tachograph's refusal of one, the engine's trouble code.
"$vehcan" scan --json --db "$db" >"$work/out" 2>"$work/err"
status=$?
if cmake -DFILE="$work/out" -P "$(dirname "$0")/json_lines.cmake" >"$work/err2" 2>&1; then
    expect scan.json "$status" 0 \
        '^\{"address":0,"address_name":"engine #1","claimed":true,' \
        '^\{"address":238,"address_name":"tachograph","claimed":true,' \
        '"name":\{"arbitrary_address_capable":false,"ecu_instance":0,"function":0,"function_instance":0,"function_name":"engine","identity_number":123456,"industry_group":1,"industry_group_name":"on-highway equipment","manufacturer_code":1234,"raw":"100200009A41E240","vehicle_system":1,"vehicle_system_instance":0\}' \
        '"name":\{"arbitrary_address_capable":true,"ecu_instance":1,"function":128,"function_instance":0,"function_name":"tachograph","identity_number":654321,' \
        '"component_identification":\{"fields":\[\{"label":"make","value":"VEHCAN"\},\{"label":"model","value":"SIM-ENGINE-13L"\},\{"label":"serial number","value":"ENG0012345"\},\{"label":"unit number","value":"UNIT01"\}\],"pgn":65259,"status":"answered"\}' \
        '"software_identification":\{"fields":\[\{"label":"software 1","value":"ENG 4.2.1"\},\{"label":"software 2","value":"CAL 2026-11"\}\]' \
        '"ECU_identification":\{"fields":\[\{"label":"part number","value":"EC-4711-02"\}' \
        '"address":238,.*"ECU_identification":\{"acknowledgement":"negative acknowledgement \(NACK\)","pgn":64965,"status":"not supported"\}' \
        '"address":238,.*"model","value":"SIM-TACHO-2"' \
        '"address":0,.*"dm1":\{"dtcs":\[\{"description":"Engine Coolant Temperature","fmi":16,"fmi_text":"[^"]*","occurrences":1,"spn":110\}\],"lamps":\{"amber_warning":"on"' \
        '^\{"address":249,.*"name":\{"arbitrary_address_capable":true,.*"function":129,"function_instance":0,"function_name":"off-board diagnostic-service tool",.*"ours":true\}$'
else
    fail scan.json "a line is not JSON: $(cat "$work/err2")"
fi

# The address claim: another node on the bus holds or takes vehcan's address.
source "$(dirname "$0")/rig_claim_cases.sh"
claim_cases "$claim_peer"

# The live view on a terminal (tmux), with the truck on its drive cycle,
# begun just before the coolant overheats.
kill $truck 2>/dev/null
wait $truck 2>/dev/null
"$sim" --quiet --bus-rate 250000 --drive --drive-start 30 &
truck=$!
source "$(dirname "$0")/../rig_terminal.sh"
# wait_screen PATTERN SECONDS: until the captured screen matches (into $work/out)
wait_screen() {
    for _ in $(seq "$2"); do
        screen capture-pane -p -t live >"$work/out" 2>/dev/null
        grep -q -E -- "$1" "$work/out" && return 0
        sleep 1
    done
    return 1
}
rm -f "$work/live.status"
screen new-session -d -s live -x 140 -y 30 \
    "$vehcan monitor --db $db 2>$work/live.err; echo \$? >$work/live.status"
wait_screen '^active trouble codes \(DM1\)' 90
wait_screen '^  0x00  SPN 110 FMI 16, 1 occurrence: Engine Coolant Temperature' 60
first_speed=$(grep -o -E 'engine speed [0-9.]+ rpm' "$work/out")
sleep 2
screen capture-pane -p -t live >"$work/out"
second_speed=$(grep -o -E 'engine speed [0-9.]+ rpm' "$work/out")
expect live.table 0 0 \
    '^vehcan monitor  can0 250000 bit/s  [0-9]+ msg/s  [0-9]+ messages  VIN 1HTMKAAN0CH123456$' \
    '^lamps: 0x00 MIL off, red stop off, amber warning on, protect off$' \
    '^sort: PGN  filter: -  rows 1-[0-9]+ of [0-9]+$' \
    '^ +PGN +name +SA +count rate/s age s  values' \
    '^ 61444 EEC1   Electronic Engine Controll 00 +[0-9]+ +[0-9.]+ +[0-9.]+  engine speed [0-9.]+ rpm' \
    '^ 65132 TCO1   Tachograph +EE ' \
    '^active trouble codes \(DM1\)' \
    '^  0x00  SPN 110 FMI 16, 1 occurrence: Engine Coolant Temperature: data valid but above normal' \
    '^q quit  p pause  s sort  / filter  arrows scroll'
# Every sender of the simulated truck is known, the first second's messages'
# included: none is shown as "--" (a row or a lamp of its own).
if grep -q -E '^[ 0-9]{6} .{6} .{26} -- |^lamps: .*0x--|^  0x--  ' "$work/out"; then
    fail live.senders_known "a message without its sender"
else
    pass live.senders_known
fi
if [ -z "$first_speed" ] || [ "$first_speed" = "$second_speed" ]; then
    fail live.engine_speed_moves "'$first_speed' 2 s before '$second_speed'"
else
    pass live.engine_speed_moves
fi
screen send-keys -t live s
wait_screen '^sort: sender ' 20
expect live.sort_by_sender 0 0 '^sort: sender  filter: -'
screen send-keys -t live / t a c h Enter
wait_screen '^sort: sender  filter: tach  rows 1-1 of 1$' 20
status=$?
if grep -q ' EEC1 ' "$work/out"; then
    fail live.filter "the filter kept EEC1"
else
    expect live.filter "$status" 0 '^ 65132 TCO1   Tachograph +EE '
fi
screen send-keys -t live q
for _ in $(seq 60); do
    [ -s "$work/live.status" ] && break
    sleep 0.5
done
{ cat "$work/live.err"; ip link show can0; } >"$work/out"
expect live.quit "$(cat "$work/live.status" 2>/dev/null)" 0 \
    '^monitor ended after [0-9.]+ s: [0-9]+ messages of [0-9]+ PGNs and senders \(q\)$' \
    '^[0-9]+: can0: .* state DOWN '

# Without CAP_SYS_RESOURCE the stack's 5000-record queues exceed the limits.
setpriv --reuid=65534 --regid=65534 --clear-groups --inh-caps=+net_admin \
    --ambient-caps=+net_admin "$vehcan" monitor --duration 1 >"$work/out" 2>&1
expect monitor.queue_limits $? 5 '^vehcan: cannot create the message queues: the queue limits are too low'

exit $failed
