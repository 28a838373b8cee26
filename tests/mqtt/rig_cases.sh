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
pids+=("$!")
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
exit $failed
