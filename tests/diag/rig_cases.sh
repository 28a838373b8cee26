#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Guest side of rig.diag: vehcan diag on can0 against vehcan-sim's ECUs on
# can1 (the engine 0x00, the transmission 0x03, the brakes 0x0B and the body
# controller 0x21 of --diag-ecus), on a 250 kbit/s bus.
#   tests/diag/rig_cases.sh VEHCAN VEHCAN_SIM DATABASE
# Prints one line per case, each session's output between "---- NAME" and
# "---- end" lines with the time it took, and exits non-zero if any failed.
set -uo pipefail
vehcan=$1
sim=$2
db=$3
work=$(mktemp -d)
truck=
observer=
source "$(dirname "$0")/../rig_expect.sh"
# check NAME STATUS WANTED_STATUS PYTHON: the status, then the Python
# assertions on the JSON in $work/out (as j, its ECUs by address as ecu;
# JSON lines, scan's, are the ECUs), which print why they failed.
check() {
    local name=$1 status=$2 want=$3 assertions=$4
    if [ "$status" != "$want" ]; then
        fail "$name" "exit status $status, expected $want"
        return
    fi
    if ! python3 -c "
import json, sys
text = open('$work/out').read()
try:
    j = json.loads(text)
except ValueError:
    j = {'ecus': [json.loads(line) for line in text.splitlines() if line.strip()]}
ecu = {e['address']: e for e in j.get('ecus', [])}
$assertions
" >"$work/why" 2>&1; then
        fail "$name" "$(tail -3 "$work/why")"
        return
    fi
    pass "$name"
}
# session NAME ARGS...: runs vehcan, keeps its output in $work/out, shows it
# with the time it took; leaves the exit status in $status.
session() {
    local name=$1
    shift
    local begun ended
    begun=$(date +%s%N)
    "$vehcan" "$@" >"$work/out" 2>"$work/err"
    status=$?
    ended=$(date +%s%N)
    echo "---- $name: vehcan $* (exit $status, $(( (ended - begun) / 1000000 )) ms with bring-up)"
    cat "$work/err" "$work/out"
    echo "---- end"
}
start_truck() {
    stop_truck
    "$sim" --bus-rate 250000 --diag-ecus "$@" >"$work/sim.log" 2>&1 &
    truck=$!
    sleep 1
}
stop_truck() {
    if [ -n "$truck" ]; then
        kill "$truck" 2>/dev/null
        wait "$truck" 2>/dev/null
        truck=
    fi
}
trap 'stop_truck; [ -n "$observer" ] && kill $observer 2>/dev/null; tmux -S /dev/shm/vehcan-rig.sock kill-server 2>/dev/null; rm -rf "$work"' EXIT

ip link set can1 up type can bitrate 250000
start_truck --parked

# ---- read ---------------------------------------------------------------------------------
session read.all_nodes_json diag read --json --db "$db"
check read.all_dms_of_two_ecus "$status" 0 "
assert j['from_node'] == 'all' and j['dms'] == [1, 2, 4, 5, 6, 12, 23, 24, 25], j['dms']
e, t = ecu[0], ecu[3]
assert [(c['spn'], c['fmi'], c['occurrences']) for c in e['dm1']['dtcs']] == [(110, 16, 1)], e['dm1']
assert e['dm1']['dtcs'][0]['description'] == 'Engine Coolant Temperature', e['dm1']
assert e['dm1']['lamps']['amber_warning'] == 'on'
assert [(c['spn'], c['fmi'], c['occurrences']) for c in e['dm2']['dtcs']] == [(100, 1, 3), (190, 2, 1), (520192, 7, 12)], e['dm2']
assert [(f['spn'], f['engine_speed'], f['coolant_temperature'], f['vehicle_speed'], f['manufacturer']) for f in e['dm4']] == [(110, 1500.0, 110.0, 80.0, 'A1B2C3'), (100, 650.0, 80.0, 0.0, '')], e['dm4']
assert e['dm4'][0]['torque_mode'] == 1 and e['dm4'][0]['boost'] == 180.0 and e['dm4'][0]['engine_load'] == 45.0
assert (e['dm5']['active'], e['dm5']['previously_active'], e['dm5']['obd_compliance']) == (1, 3, 20), e['dm5']
assert e['dm5']['monitors']['diesel_particulate_filter'] == {'name': 'diesel particulate filter', 'continuous': False, 'supported': True, 'complete': False}
assert [c['spn'] for c in e['dm6']['dtcs']] == [3226] and e['dm12']['dtcs'] == [] and [c['spn'] for c in e['dm23']['dtcs']] == [3251]
assert [s['spn'] for s in e['dm24'] if s['expanded_freeze_frame']] == [190, 110, 84, 102], e['dm24']
assert [(v['spn'], v['value']) for v in e['dm25'][0]['values']] == [(190, 1500.0), (110, 110.0), (84, 80.0), (102, 180.0)], e['dm25']
assert e['dm25'][0]['manufacturer'] == 'DEAD'
assert [(c['spn'], c['fmi'], c['conversion']) for c in t['dm1']['dtcs']] == [(177, 0, 'legacy')], t['dm1']
assert [c['spn'] for c in t['dm2']['dtcs']] == [127, 161], t['dm2']
assert (t['dm5']['active'], t['dm5']['previously_active'], t['dm5']['obd_compliance']) == (1, 2, 5)
assert all(t[k] == 'silent' for k in ('dm4', 'dm6', 'dm12', 'dm23', 'dm24', 'dm25')), t
assert sorted(ecu) == [0, 3, 11, 33], sorted(ecu)
assert j['transfers'] >= 4, j['transfers']
assert [r['dm'] for r in j['requests']] == j['dms'] and all(r['took_ms'] >= 600 for r in j['requests']), j['requests']
"
session read.all_nodes_text diag read --db "$db"
expect read.text "$status" 0 \
    '^DM1, DM2, DM4, DM5, DM6, DM12, DM23, DM24, DM25 from all nodes \(our address 0x[0-9A-F]{2}\): 4 ECUs answered in ' \
    '^ECU 0x00 \(engine #1\)$' \
    '^    SPN 110 FMI 16, 1 occurrence: Engine Coolant Temperature: data valid but above normal operating range' \
    '^      torque mode accelerator pedal/operator selection \(1\); boost 180 kPa; engine speed 1500 rpm; engine load 45 %; coolant temperature 110 °C; vehicle speed 80 km/h$' \
    '^  DM5 diagnostic readiness: 1 active, 3 previously active; OBD compliance 20 \(HD OBD\)$' \
    '^    SPN 177 FMI 0, 2 occurrences: .*\(legacy SPN layout\)$' \
    '^  DM4 freeze frames: silent$'

# scan: each node's DM2 count and DM5 readiness, asked of the node itself.
"$vehcan" scan --json --db "$db" >"$work/out" 2>"$work/err"
check scan.dm2_and_dm5 "$?" 0 "
e, t = ecu[0], ecu[3]
assert [(c['spn'], c['occurrences']) for c in e['dm2']['dtcs']] == [(100, 3), (190, 1), (520192, 12)], e['dm2']
assert (e['dm5']['active'], e['dm5']['previously_active'], e['dm5']['obd_compliance']) == (1, 3, 20), e['dm5']
assert (e['dm5']['monitors_supported'], e['dm5']['monitors_complete']) == (6, 4), e['dm5']
assert [(c['spn'], c['conversion']) for c in t['dm2']['dtcs']] == [(127, 'legacy'), (161, 'legacy')], t['dm2']
assert [c['spn'] for c in ecu[11]['dm2']['dtcs']] == [1811] and ecu[11]['dm5']['active'] == 2, ecu[11]
assert ecu[0x21]['dm5'] == 'nack' and ecu[0xEE]['dm2'] == 'nack', (ecu[0x21]['dm5'], ecu[0xEE]['dm2'])
"
"$vehcan" scan >"$work/out" 2>&1
expect scan.text $? 0 '^  previously active codes \(DM2\) +3$' \
    '^  readiness \(DM5\) +1 active, 3 previously active; OBD compliance 20 \(HD OBD\)$' \
    '^    monitors: 4 of 6 supported complete; not complete: fuel system, diesel particulate filter$'

# One node: its refusals come as NACKs, each answer ends the wait at once.
session read.one_node diag read --from-node 0x03 --dm 1,4,25 --json
check read.one_node_nacks "$status" 0 "
t = ecu[3]
assert list(ecu) == [3]
assert t['dm1']['dtcs'][0]['spn'] == 177 and t['dm4'] == 'nack' and t['dm24'] == 'nack' and t['dm25'] == 'nack', t
assert j['took_ms'] < 600, j['took_ms']
"
"$vehcan" diag read --from-node 0x42 --dm 1 >"$work/out" 2>&1
expect read.nobody_there $? 6 '^  DM1 active trouble codes: silent$' '^vehcan: 0x42 answered none of the DMs$'

# ---- clear ---------------------------------------------------------------------------------
# The question on a terminal: "no" clears nothing.
source "$(dirname "$0")/../rig_terminal.sh"
rm -f "$work/ask.status"
# (Standard error, the question's, on the terminal; the preview to a file.)
screen new-session -d -s ask -x 160 -y 40 \
    "$vehcan diag clear --previous >$work/ask.out; echo \$? >$work/ask.status; sleep 60"
for _ in $(seq 120); do
    screen capture-pane -p -t ask >"$work/out" 2>/dev/null
    grep -q 'send DM3 to all nodes? \[yes/no\]' "$work/out" && break
    sleep 0.5
done
screen send-keys -t ask n o Enter
for _ in $(seq 60); do
    [ -s "$work/ask.status" ] && break
    sleep 0.5
done
screen capture-pane -p -t ask >"$work/ask.err"
cat "$work/ask.out" "$work/ask.err" >"$work/out"
expect clear.not_confirmed "$(cat "$work/ask.status" 2>/dev/null)" 12 \
    '^DM3 clears the previously active trouble codes \(DM2\) of all nodes; read in ' \
    '^  SPN 100 FMI 1, 3 occurrences' '^  freeze frame of SPN 100 FMI 1$' \
    '^vehcan: not confirmed: nothing was cleared$'
grep -q 'request for PGN 65228' "$work/sim.log" && fail clear.not_confirmed_sent "a DM3 went out"

session clear.previous diag clear --previous --yes --json
check clear.previous_per_ecu "$status" 11 "
assert j['dm'] == 3 and j['to'] == 'all' and 'refused' not in j
got = {a: (e['answer'], e['busy_retries'], e['after']) for a, e in ecu.items()}
assert got == {0: ('ack', 0, 'erased'), 3: ('nack', 0, 'not erased'), 11: ('ack', 2, 'erased'), 33: ('silent', 0, 'not erased')}, got
assert [c['spn'] for c in ecu[0]['codes_before']] == [100, 190, 520192] and ecu[0]['codes_after'] == []
assert (ecu[0]['dm5_before']['previously_active'], ecu[0]['dm5_after']['previously_active']) == (3, 0)
assert j['summary'] == {'erased': 2, 'partly_erased': 0, 'not_erased': 2, 'unknown': 0}, j['summary']
assert j['safety']['vehicle_speed'] == 0 and j['safety']['allowed'], j['safety']
"
# Read again on its own: what the report says is what the ECUs hold.
"$vehcan" diag read --dm 2 --json >"$work/out" 2>/dev/null
check clear.previous_reread "$?" 0 "
left = {a: [c['spn'] for c in e['dm2']['dtcs']] for a, e in ecu.items()}
assert left == {0: [], 3: [127, 161], 11: [], 33: [2635]}, left
"

"$vehcan" diag clear --active --yes >"$work/out" 2>&1
expect clear.active_refused_engine_running $? 10 \
    '^vehcan: nothing cleared: the engine runs: engine speed \(SPN 190\) 650 rpm from 0x00, .*--engine-running allows it'
grep -q 'request for PGN 65235' "$work/sim.log" && fail clear.active_refused_sent "a DM11 went out"

session clear.active diag clear --active --yes --engine-running
cat "$work/err" >>"$work/out"
expect clear.active_per_ecu "$status" 11 \
    '^DM11 to all nodes: 4 ECUs in ' \
    '^  ECU 0x00 \(engine #1\): acknowledged; erased \(DM1 1 before, 0 after\)$' \
    '^  ECU 0x03 \(transmission #1\): negative acknowledgement \(NACK\); not erased \(DM1 1 before, 1 after\)$' \
    '^  ECU 0x0B \(brakes, system controller\): acknowledged after 2 busy answers; partly erased \(DM1 2 before, 1 after\)$' \
    '^    now: SPN 1809 FMI 14, 1 occurrence' \
    '^  ECU 0x21 \(body controller\): silent; not erased \(DM1 1 before, 1 after\)$' \
    '^vehcan: 3 of 4 ECUs did not erase every code'
"$vehcan" diag read --dm 1,4 --json >"$work/out" 2>/dev/null
check clear.active_reread "$?" 0 "
left = {a: [c['spn'] for c in e['dm1']['dtcs']] for a, e in ecu.items()}
assert left == {0: [], 3: [177], 11: [1809], 33: [2634]}, left
assert ecu[0]['dm4'] == [], ecu[0]['dm4']
"
# The busy retries went to the brakes alone, after the clear to all.
grep -c 'brakes: request for PGN 65235 from 0x[0-9A-F]* to it: ' "$work/sim.log" >"$work/out"
expect clear.busy_retries_to_the_ecu 0 0 '^2$'

# ---- the vehicle drives --------------------------------------------------------------------
start_truck
session clear.while_driving diag clear --previous --yes --json
check clear.refused_while_driving "$status" 10 "
assert j['refused'].startswith('the vehicle moves: wheel-based vehicle speed (SPN 84) 80.0 km/h from 0x00'), j['refused']
assert j['safety']['allowed'] is False and j['safety']['vehicle_speed'] == 80.0
"
grep -q 'request for PGN 65228' "$work/sim.log" && fail clear.refused_sent "a DM3 went out"

# ---- DM13 ----------------------------------------------------------------------------------
# candump on can1 sees the truck's frames and vehcan's, with their times.
candump -L can1 >"$work/dump" 2>/dev/null &
observer=$!
session quiet.twelve_seconds diag quiet --seconds 12
expect quiet.session "$status" 0 '^broadcasts stopped \(DM13 to all nodes\)$' \
    '^hold sent after 5 s; [0-9]+ messages? from other nodes' '^hold sent after 10 s' \
    '^broadcasts started again after 12.0 s \(2 holds sent\)$'
sleep 2
"$vehcan" diag quiet >"$work/out" 2>&1 &
quiet=$!
for _ in $(seq 60); do
    grep -q 'broadcasts stopped' "$work/out" && break
    sleep 0.5
done
sleep 2
kill -INT $quiet
wait $quiet
expect quiet.interrupted $? 0 '^broadcasts started again after [0-9.]+ s'
sleep 2
kill $observer 2>/dev/null
wait $observer 2>/dev/null
observer=
# From the dump: EEC1 of the engine (PGN F004 from 00) stops within 100 ms of each
# stop (18DFFFxx#3F...) and comes back within 100 ms of each start (#7F...).
python3 - "$work/dump" >"$work/out" 2>&1 <<'EOF'
import re, sys
stops, starts, holds, eec1 = [], [], [], []
for line in open(sys.argv[1]):
    m = re.match(r'\((\d+\.\d+)\) can1 ([0-9A-F]{8})#([0-9A-F]*)', line)
    if not m:
        continue
    t, ident, data = float(m.group(1)), m.group(2), m.group(3)
    if ident[2:6] == 'DFFF':
        {'3F': stops, '7F': starts}.get(data[:2], holds if data[6:8] == '0F' else []).append(t)
    elif ident[2:] == 'F00400':
        eec1.append(t)
print(f'{len(stops)} stops, {len(holds)} holds, {len(starts)} starts, {len(eec1)} EEC1')
assert len(stops) == 2 and len(starts) == 2, 'two quiet sessions'
for stop, start in zip(stops, starts):
    during = [t for t in eec1 if stop + 0.1 < t < start]
    after = [t for t in eec1 if start < t < start + 0.1]
    print(f'quiet {start - stop:.1f} s: {len(during)} EEC1 while quiet, {len(after)} in 100 ms after')
    assert not during and after
    assert [t for t in eec1 if stop - 0.1 < t < stop], 'EEC1 before the stop'
assert len([h for h in holds if stops[0] < h < starts[0]]) == 2
EOF
expect quiet.broadcasts_pause_and_resume $? 0 'quiet 12\.[0-9] s: 0 EEC1 while quiet'
cat "$work/out"

# A stop without holds: the nodes broadcast again by themselves 6 s later.
ip link set can0 up type can bitrate 250000
candump -L can1 >"$work/dump" 2>/dev/null &
observer=$!
sleep 0.5
cansend can0 18DFFFF9#3FFFFFFFFFFFFFFF
sleep 8
kill $observer 2>/dev/null
wait $observer 2>/dev/null
observer=
ip link set can0 down
python3 - "$work/dump" >"$work/out" 2>&1 <<'EOF'
import re, sys
stop, eec1 = None, []
for line in open(sys.argv[1]):
    m = re.match(r'\((\d+\.\d+)\) can1 ([0-9A-F]{8})#([0-9A-F]*)', line)
    if m and m.group(2)[2:6] == 'DFFF' and m.group(3).startswith('3F'):
        stop = float(m.group(1))
    elif m and m.group(2)[2:] == 'F00400' and stop is not None:
        eec1.append(float(m.group(1)))
back = eec1[0] - stop
print(f'EEC1 back {back:.2f} s after the stop')
assert 5.9 < back < 6.3, back
EOF
expect quiet.nodes_resume_after_6_s $? 0 'EEC1 back 6\.[0-9]{2} s after the stop'
cat "$work/out"

exit $failed
