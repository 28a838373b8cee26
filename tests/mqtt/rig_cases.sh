#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Guest side of rig.mqtt: vehcan monitor --mqtt on can0 against vehcan-sim's
# truck on can1, with mosquitto on the guest's loopback.
#   tests/mqtt/rig_cases.sh VEHCAN VEHCAN_SIM            the cases
#   tests/mqtt/rig_cases.sh VEHCAN VEHCAN_SIM --measure  published message rate and CPU
#                                                        of monitor --mqtt beside --json
# Prints one line per case (or measurement) and exits non-zero if one failed.
set -uo pipefail
vehcan=$1
sim=$2
mode=${3:-}
vin=1HTMKAAN0CH123456
port=1883
failed=0
source "$(dirname "$0")/lib.sh"

pass() { echo "PASS $1"; }
fail() {
    echo "FAIL $1: $2"
    for f in "$work"/*.err "$work"/sub.out; do
        [ -s "$f" ] && { echo "---- $f"; tail -n 20 "$f" | cut -c1-240; }
    done
    failed=1
}
seen() { grep -q -E -- "$1" "$work/sub.out"; }
retained() { # TOPIC: "%r %p" of its retained message
    mosquitto_sub -h 127.0.0.1 -p $port -t "$1" -F '%r %p' -C 1 -W 5 --retained-only 2>/dev/null
}

printf 'listener %s 127.0.0.1\nuser root\nallow_anonymous true\npersistence false\n' $port \
    >"$work/broker.conf"
/usr/sbin/mosquitto -c "$work/broker.conf" >"$work/broker.err" 2>&1 &
pids+=("$!")
wait_until 30 mosquitto_pub -h 127.0.0.1 -p $port -t vehcan/probe -m up 2>/dev/null ||
    { echo "FAIL broker: mosquitto did not come up"; cat "$work/broker.err"; exit 1; }
ip link set can1 up type can bitrate 500000

if [ "$mode" = --measure ]; then
    # Each run: monitor for D seconds after bring-up; the rate over those D
    # seconds (--json: the lines printed; --mqtt: the messages the broker
    # acknowledged, with no subscriber taking the guest's one CPU), the CPU
    # (user + system) over the process's whole life, bring-up included.
    duration=20
    measure() { # LABEL OUTPUT_KIND VEHCAN_ARGS...
        local label=$1 kind=$2
        shift 2
        local TIMEFORMAT='%R %U %S'
        # standard output to the guest's memory: a file over 9p would make
        # --json wait for the host
        local out=$work/mem/monitor.out
        { time "$vehcan" monitor --duration $duration "$@" >"$out" 2>"$work/mon.err"; } \
            2>"$work/time.txt"
        local n
        if [ "$kind" = mqtt ]; then
            n=$(sed -n -E 's/^mqtt: ([0-9]+) messages delivered.*/\1/p' "$work/mon.err")
        else
            n=$(grep -c '"pgn"' "$out")
        fi
        read -r real user sys <"$work/time.txt"
        awk -v l="$label" -v n="$n" -v d=$duration -v r="$real" -v u="$user" -v s="$sys" \
            'BEGIN { printf "MEASURE %-34s %7d messages out, %8.1f per s, CPU %5.2f s of %5.1f s (%5.1f %%)\n",
                     l, n, n / d, u + s, r, 100 * (u + s) / r }'
        # what the monitor took off the stack, and what the broker acknowledged
        grep -E '^(monitor ended|mqtt: [0-9]+ messages)' "$work/mon.err" | sed 's/^/        /'
    }
    mkdir -p "$work/mem"
    mount -t tmpfs none "$work/mem" || { echo "FAIL measure: no tmpfs"; exit 1; }
    trap 'umount "$work/mem"; cleanup' EXIT
    "$sim" --quiet &
    truck=$!
    pids+=("$truck")
    measure "default traffic, monitor --json" json --json
    measure "default traffic, --mqtt --uplink json" mqtt --quiet --uplink json \
        --mqtt "mqtt://127.0.0.1:$port"
    measure "default traffic, --mqtt (compact)" mqtt --quiet --mqtt "mqtt://127.0.0.1:$port"
    kill $truck
    wait $truck 2>/dev/null
    # the flood: --json, then the uplink with in-flight windows of 20
    # (libmosquitto's default), 100 (vehcan's) and 1000, then 100 with the
    # disk spool (on the guest's memory: the uplink's own cost, not the disk's)
    for kind in json 20 100 1000 spool compact; do
        "$sim" --quiet --flood 60 &
        flood=$!
        pids+=("$flood")
        case $kind in
        json) measure "flood, monitor --json" json --json ;;
        spool)
            rm -rf "$work/mem/spool"
            measure "flood, --mqtt --uplink json --spool" mqtt --quiet --uplink json \
                --mqtt "mqtt://127.0.0.1:$port" --spool "$work/mem/spool" ;;
        compact)
            rm -rf "$work/mem/spool"
            measure "flood, --mqtt (compact) --spool" mqtt --quiet \
                --mqtt "mqtt://127.0.0.1:$port" --spool "$work/mem/spool" ;;
        *) measure "flood, --mqtt --uplink json --mqtt-inflight $kind" mqtt --quiet \
            --uplink json --mqtt "mqtt://127.0.0.1:$port" --mqtt-inflight "$kind" ;;
        esac
        kill $flood
        wait $flood 2>/dev/null
    done
    exit 0
fi

"$sim" --quiet &
truck=$!
pids+=("$truck")
mosquitto_sub -h 127.0.0.1 -p $port -q 1 -t 'vehcan/#' -F '%t %p' >"$work/sub.out" 2>&1 &
pids+=("$!")
sleep 1

# The live bus to the broker: the VIN in the topics once it came, the
# retained trouble codes under it; Ctrl-C ends with "offline" and status 0.
"$vehcan" monitor --quiet --uplink json --vehicle rig-gw --mqtt "mqtt://127.0.0.1:$port" \
    >"$work/mon.out" 2>"$work/mon.err" &
monitor=$!
if wait_until 120 seen "^vehcan/$vin/dm1 \{\"nodes\":\[\{\"dtcs\":\[\{\"fmi\":16,.*\"spn\":110\}\]" &&
    wait_until 60 seen "^vehcan/$vin/61444 \{\"acronym\":\"EEC1\",.*\"values\":\[\{\"name\":\"engine speed\",\"spn\":190,\"unit\":\"rpm\",\"value\":1500.0\}"; then
    kill -INT $monitor
    wait $monitor
    status=$?
    if [ $status != 0 ]; then
        fail monitor.mqtt_vin_topics "exit status $status after Ctrl-C"
    elif ! seen "^vehcan/(rig-gw|$vin)/status \{\"bitrate\":500000,\"started\":\"[0-9T:Z-]+\",\"status\":\"online\""; then
        fail monitor.mqtt_vin_topics "no online status with the bus rate"
    elif [ "$(retained "vehcan/$vin/status")" != "1 {\"status\":\"offline\",\"vehicle\":\"$vin\"}" ]; then
        fail monitor.mqtt_vin_topics "retained status: $(retained "vehcan/$vin/status")"
    elif ! retained "vehcan/$vin/dm1" | grep -q '^1 {"nodes":\[{"dtcs":\[{"fmi":16,'; then
        fail monitor.mqtt_vin_topics "no retained dm1 under the VIN"
    elif ! grep -q -E '^mqtt: [0-9]+ messages delivered to 127.0.0.1:1883, 0 dropped from the full backlog, 0 not sent$' "$work/mon.err"; then
        fail monitor.mqtt_vin_topics "no report of the delivered messages"
    else
        pass monitor.mqtt_vin_topics
    fi
else
    kill -INT $monitor
    wait $monitor
    fail monitor.mqtt_vin_topics "no DM1 or EEC1 under the VIN"
fi

# The live table on a terminal (tmux) beside the uplink, under a prefix of
# its own: both show the bus, and Ctrl-C on the terminal ends the monitor
# with "offline" and status 0 as on the line log.
source "$(dirname "$0")/../rig_terminal.sh"
trap 'screen kill-server 2>/dev/null; cleanup' EXIT
mosquitto_sub -h 127.0.0.1 -p $port -q 1 -t 'fleet/#' -F '%t %p' >"$work/fleet.out" 2>&1 &
pids+=("$!")
sleep 1
screen new-session -d -s live -x 140 -y 30 \
    "$vehcan monitor --topic-prefix fleet --uplink json --mqtt mqtt://127.0.0.1:$port 2>$work/live.err; echo \$? >$work/live.status"
fleet_seen() { grep -q -E -- "$1" "$work/fleet.out"; }
on_screen() {
    screen capture-pane -p -t live >"$work/screen.out" 2>/dev/null
    grep -q -E -- "$1" "$work/screen.out"
}
if wait_until 120 fleet_seen "^fleet/$vin/61444 \{\"acronym\":\"EEC1\"," &&
    wait_until 30 on_screen "^vehcan monitor  can0 500000 bit/s .* VIN $vin\$"; then
    if ! grep -q -E '^ 61444 EEC1   Electronic Engine Controll 00 ' "$work/screen.out"; then
        fail monitor.mqtt_live_table "no EEC1 row: $(cat "$work/screen.out")"
    fi
    screen send-keys -t live C-c
    wait_until 30 test -s "$work/live.status"
    status=$(cat "$work/live.status" 2>/dev/null)
    if [ "$status" != 0 ]; then
        fail monitor.mqtt_live_table "exit status '$status' after Ctrl-C"
    elif [ "$(retained "fleet/$vin/status")" != "1 {\"status\":\"offline\",\"vehicle\":\"$vin\"}" ]; then
        fail monitor.mqtt_live_table "retained status: $(retained "fleet/$vin/status")"
    elif grep -q '^vehcan/' "$work/fleet.out"; then
        fail monitor.mqtt_live_table "a message outside the prefix"
    else
        pass monitor.mqtt_live_table
    fi
else
    fail monitor.mqtt_live_table "no EEC1 under fleet/$vin, or no table: $(cat "$work/screen.out" 2>/dev/null)"
    screen send-keys -t live C-c
fi
# ---- commands from the fleet --------------------------------------------------------------------
# vehcan monitor with [commands] on, as the service runs it, against the
# simulated ECUs; vehcan-fleet signs, sends and waits for the result. The
# broker's copy of every answer and candump on can1 (the Requests for the
# VIN, "18EAxxxx#ECFE00") are the witnesses.
fleet_dir=$(cd "$(dirname "$0")/../../tools/vehcan-fleet" && pwd)
fleet() { PYTHONPATH=$fleet_dir /usr/bin/python3 -B "$@"; }
vin_requests() { grep -c -E ' can1 18EA[0-9A-F]{4}#ECFE00$' "$work/cmd.dump"; }
answer_seen() { grep -q -E -- "$1" "$work/cmd.out"; }
kill "$truck" 2>/dev/null
wait "$truck" 2>/dev/null
if ! /usr/bin/python3 -c 'import nacl.signing, paho.mqtt.client' 2>/dev/null; then
    fail commands "no python3-nacl or python3-paho-mqtt for vehcan-fleet"
    exit 1
fi
"$sim" --quiet --diag-ecus --parked >"$work/sim.err" 2>&1 &
pids+=("$!")
key=$work/rig-1.key
# the record on the guest's memory: SQLite's write-ahead log needs shared
# memory that the host's file system over 9p does not give
mkdir -p "$work/spool"
mount -t tmpfs none "$work/spool" || { fail commands "no tmpfs for the spool"; exit 1; }
keyline=$(fleet -m vehcan_fleet keygen --key-id rig-1 "$key")
printf '[mqtt]\nurl = "mqtt://127.0.0.1:%s"\nvehicle = "rig-cmd"\n[spool]\ndir = "%s"\n[collection]\nuplink = "json"\n[commands]\nenabled = true\nallowed_operations = ["request", "diag.read"]\nallowed_pgns = [65260]\n[commands.keys]\n%s\n' \
    $port "$work/spool" "$keyline" >"$work/cmd.conf"
candump -L can1 >"$work/cmd.dump" 2>&1 &
pids+=("$!")
mosquitto_sub -h 127.0.0.1 -p $port -q 1 -t "vehcan/$vin/cmd/#" -F '%t %p' >"$work/cmd.out" 2>&1 &
pids+=("$!")
"$vehcan" monitor --quiet --config "$work/cmd.conf" >"$work/cmdmon.out" 2>"$work/cmdmon.err" &
cmdmon=$!
pids+=("$cmdmon")
if ! wait_until 120 grep -q "^mqtt: subscribed to vehcan/$vin/cmd$" "$work/cmdmon.err"; then
    fail commands.subscribed "the monitor did not subscribe under the VIN: $(tail -5 "$work/cmdmon.err")"
else
    pass commands.subscribed
    # request: the VIN from the bus, end to end with vehcan-fleet command.
    begun=$(date +%s%N)
    fleet -m vehcan_fleet command "$vin" request pgn=65260 --key "$key" \
        --mqtt "mqtt://127.0.0.1:$port" --wait 30 -v >"$work/req.json" 2>"$work/req.err"
    status=$?
    ended=$(date +%s%N)
    # (Python's start on the emulated CPU included; -v's times count from
    # the publish)
    echo "MEASURE vehcan-fleet command request: $(( (ended - begun) / 1000000 )) ms to its result"
    sed 's/^/        /' "$work/req.err"
    if [ $status != 0 ]; then
        fail commands.request "exit status $status: $(cat "$work/req.err" "$work/req.json")"
    elif ! /usr/bin/python3 -c "
import json, sys
j = json.load(open('$work/req.json'))
assert j['outcome'] == 'succeeded', j
r = j['result']
assert r['pgn'] == 65260 and r['length'] >= 17, r
assert '$vin' in json.dumps(r['values']), r
" >"$work/why" 2>&1; then
        fail commands.request "$(tail -3 "$work/why")"
    else
        pass commands.request
    fi
    # diag.read of the engine: its active and previously active codes.
    fleet -m vehcan_fleet command "$vin" diag.read address=0 --key "$key" \
        --mqtt "mqtt://127.0.0.1:$port" --wait 60 >"$work/read.json" 2>"$work/read.err"
    status=$?
    if [ $status != 0 ]; then
        fail commands.diag_read "exit status $status: $(cat "$work/read.err" "$work/read.json")"
    elif ! /usr/bin/python3 -c "
import json
j = json.load(open('$work/read.json'))
assert j['outcome'] == 'succeeded', j
e = {x['address']: x for x in j['result']['ecus']}[0]
assert [(c['spn'], c['fmi']) for c in e['dm1']['dtcs']] == [(110, 16)], e['dm1']
assert [(c['spn'], c['fmi'], c['occurrences']) for c in e['dm2']['dtcs']] == [(100, 1, 3), (190, 2, 1), (520192, 7, 12)], e['dm2']
" >"$work/why" 2>&1; then
        fail commands.diag_read "$(tail -3 "$work/why")"
    else
        pass commands.diag_read
    fi
    # A command published again gets its stored result and sends nothing;
    # one with a forged signature is answered on cmd/_rejected, runs nothing.
    fleet "$fleet_dir/vehcan_commands.py" sign --key "$key" --id rig-replay "$vin" request \
        '{"pgn":65260}' >"$work/env.json"
    mosquitto_pub -h 127.0.0.1 -p $port -q 1 -t "vehcan/$vin/cmd" -f "$work/env.json"
    if ! wait_until 30 answer_seen "^vehcan/$vin/cmd/rig-replay .*\"outcome\":\"succeeded\""; then
        fail commands.replay "no result of the first delivery"
    else
        sent=$(vin_requests)
        mosquitto_pub -h 127.0.0.1 -p $port -q 1 -t "vehcan/$vin/cmd" -f "$work/env.json"
        /usr/bin/python3 -c "
import base64, json, sys
e = json.load(open('$work/env.json'))
sig = bytearray(base64.b64decode(e['sig'])); sig[0] ^= 1
e['sig'] = base64.b64encode(bytes(sig)).decode()
sys.stdout.write(json.dumps(e))" >"$work/forged.json"
        forged=$(sha256sum "$work/forged.json" | cut -d' ' -f1)
        mosquitto_pub -h 127.0.0.1 -p $port -q 1 -t "vehcan/$vin/cmd" -f "$work/forged.json"
        if ! wait_until 30 answer_seen "^vehcan/$vin/cmd/rig-replay .*\"duplicate\":true"; then
            fail commands.replay "no stored result for the second delivery"
        elif ! wait_until 30 answer_seen "^vehcan/$vin/cmd/_rejected .*\"reason\":\"bad_signature\".*\"sha256\":\"$forged\""; then
            fail commands.forged "no bad_signature answer with the payload's digest"
        else
            sleep 3
            if [ "$sent" -lt 1 ] || [ "$(vin_requests)" != "$sent" ]; then
                fail commands.replay "Requests for the VIN on the bus: $sent before, $(vin_requests) after"
            elif [ "$(grep -c "^vehcan/$vin/cmd/rig-replay .*\"outcome\":\"running\"" "$work/cmd.out")" != 1 ]; then
                fail commands.replay "run more than once: $(grep rig-replay "$work/cmd.out")"
            else
                pass commands.replay_and_forged
            fi
        fi
    fi
    grep -E '^command ' "$work/cmdmon.err" | sed 's/^/        /'
fi
kill -INT "$cmdmon"
wait "$cmdmon" 2>/dev/null
umount "$work/spool"
exit $failed
