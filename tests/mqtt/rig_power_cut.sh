#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A power cut of a gateway with its spool on a disk of its own: the rig's
# guest runs vehcan monitor --mqtt --spool (the compact uplink, as shipped)
# against vehcan-sim with no broker and is killed (QEMU, no shutdown)
# mid-run; a second boot with the broker up opens the spool. Every point the
# spool had committed is there (the births, the batches and the open batch,
# decoded with the build's fleet_payload_lines, $VEHCAN_TEST_PAYLOAD_LINES),
# the batches cover the bus until at most a commit period before the cut,
# their seq has no gap, and all of it reaches the broker, historical.
#   tests/mqtt/rig_power_cut.sh VEHCAN VEHCAN_SIM            (on the host)
# The guest steps (run by the host step through rig/run-guest.sh):
#   tests/mqtt/rig_power_cut.sh VEHCAN VEHCAN_SIM --cut DIR
#   tests/mqtt/rig_power_cut.sh VEHCAN VEHCAN_SIM --after DIR
set -uo pipefail
vehcan=$(realpath "$1")
sim=$(realpath "$2")
step=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)
port=1883

mount_spool() { # the guest's own disk
    modprobe virtio_blk && modprobe ext4 || return 1
    for _ in $(seq 50); do [ -b /dev/vda ] && break; sleep 0.1; done
    mkdir -p /mnt/spool && mount -t ext4 /dev/vda /mnt/spool
}
# What the spool committed, as "TOPIC HEX" lines in the order it sends them:
# its messages, then the open batch's birth (when not sent yet) and the
# open batch itself.
committed() {
    sqlite3 "$1" "SELECT topic || ' ' || lower(hex(payload)) FROM (
                    SELECT 0 AS part, id, topic, payload FROM messages
                    UNION ALL SELECT 1, id, topic, payload FROM open_birth
                    UNION ALL SELECT 2, id, topic, payload FROM open_batch) ORDER BY part, id" \
        2>/dev/null
}

case $step in
--cut)
    # Guest, first boot: the bus to a spool with no broker until the power
    # goes; what the spool has committed is noted on the host (9p, written
    # through) every half second.
    dir=$4
    mount_spool || { echo "FAIL no disk"; exit 1; }
    ip link set can1 up type can bitrate 500000
    # (a drive: values that change all the time keep points coming, so the
    # open batch's span shows how far the spool kept up with the bus)
    "$sim" --quiet --drive &
    "$vehcan" monitor --quiet --vehicle cut-test --mqtt "mqtt://127.0.0.1:$port" \
        --spool /mnt/spool/vehcan >"$dir/cut.out" 2>"$dir/cut.err" &
    # (each look in a file of its own, renamed into place: the cut can
    # come in the middle of writing one)
    while true; do
        if [ -s /mnt/spool/vehcan/spool.db ] && committed /mnt/spool/vehcan/spool.db >"$dir/seen.tmp" &&
            [ -s "$dir/seen.tmp" ]; then
            mv "$dir/seen.tmp" "$dir/seen.hex"
        fi
        date -u +%Y-%m-%dT%H:%M:%S.%6NZ >"$dir/alive.tmp" && mv "$dir/alive.tmp" "$dir/alive.txt"
        sleep 0.5
    done
    ;;
--after)
    # Guest, second boot: the spool as the cut left it, then the broker.
    dir=$4
    mount_spool || { echo "FAIL no disk"; exit 1; }
    # (read-only, before vehcan opens it)
    committed /mnt/spool/vehcan/spool.db >"$dir/after.hex"
    # The backfill sends the whole spool at once: the broker queues it for
    # the subscriber without a bound (by default it drops beyond 1000).
    printf 'listener %s 127.0.0.1\nuser root\nallow_anonymous true\npersistence false\nmax_queued_messages 0\n' \
        $port >"$dir/broker.conf"
    /usr/sbin/mosquitto -c "$dir/broker.conf" >"$dir/broker.err" 2>&1 &
    broker=$!
    for _ in $(seq 100); do
        mosquitto_pub -h 127.0.0.1 -p $port -t vehcan/probe -m up 2>/dev/null && break
        sleep 0.2
    done
    mosquitto_sub -h 127.0.0.1 -p $port -q 1 -t 'vehcan/+/+' -F '%t %x' >"$dir/sub.out" 2>&1 &
    sub=$!
    # subscribed once a message of its own comes back (not a PGN: never counted)
    for _ in $(seq 50); do
        mosquitto_pub -h 127.0.0.1 -p $port -t vehcan/probe/sub -m up 2>/dev/null
        sleep 0.2
        grep -q '^vehcan/probe/sub ' "$dir/sub.out" && break
    done
    # a backfill: a one-frame capture, after the spool's content
    echo "(2000000000.000000) can0 18FEF100#FF005001FFFFFFFF" >"$dir/one.log"
    timeout 300 "$vehcan" replay "$dir/one.log" --quiet --vehicle cut-test --spool /mnt/spool/vehcan \
        --mqtt "mqtt://127.0.0.1:$port" >"$dir/after.out" 2>"$dir/after.err"
    echo $? >"$dir/after.status"
    sleep 2
    kill "$sub" "$broker"
    umount /mnt/spool
    exit 0
    ;;
esac

# ---- host ----
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL rig.mqtt_power_cut: $*"
    for f in "$work"/*.err "$work"/*.txt; do
        [ -s "$f" ] && { echo "---- $f"; tail -n 8 "$f" | cut -c1-240; }
    done
    exit 1
}
decode=${VEHCAN_TEST_PAYLOAD_LINES:?no fleet_payload_lines of the build}
# lines NAME: the points of NAME.hex ("TOPIC HEX" lines), without the
# historical mark; the decoder's summary in NAME.decode.
lines() {
    "$decode" <"$work/$1.hex" 2>"$work/$1.decode" | sed 's/,"historical":true//' | sort >"$work/$1.jsonl" ||
        fail "the payloads of $1 do not decode: $(cat "$work/$1.decode")"
}
summary() { # NAME FIELD: a figure of the decoder's summary line
    sed -n -E "s/.*$2 ([^ ]+).*/\1/p" "$work/$1.decode" | tail -n 1
}
truncate -s 256M "$work/disk.img"
mkfs.ext4 -q -F "$work/disk.img" || fail "mkfs.ext4"
"$top/rig/run-guest.sh" --timeout 300 --boot-timeout 120 --disk "$work/disk.img" --power-cut 45 \
    -- bash "$here/rig_power_cut.sh" "$vehcan" "$sim" --cut "$work"
status=$?
[ "$status" = 137 ] || fail "the first boot ended with status $status, not the power cut"
[ -s "$work/seen.hex" ] || fail "nothing seen committed before the cut"
lines seen
[ -s "$work/seen.jsonl" ] || fail "no point committed before the cut"
"$top/rig/run-guest.sh" --timeout 400 --boot-timeout 120 --disk "$work/disk.img" \
    -- bash "$here/rig_power_cut.sh" "$vehcan" "$sim" --after "$work" ||
    fail "the second boot failed"
[ -s "$work/after.hex" ] || fail "the spool could not be read after the cut"
lines after
alive=$(cat "$work/alive.txt")
seen_until=$(summary seen "covered until")
after_until=$(summary after "covered until")
echo "last seen alive $alive; committed when last seen: $(wc -l <"$work/seen.jsonl") points," \
    "seq $(summary seen "first seq") to $(summary seen "last seq"), the bus until $seen_until;" \
    "in the spool after the cut: $(wc -l <"$work/after.jsonl") points, seq" \
    "$(summary after "first seq") to $(summary after "last seq"), the bus until $after_until"
# nothing committed lost: every point seen committed is in the spool after
# the cut, the seq numbers from 1 without a gap or a repeat
missing=$(comm -23 "$work/seen.jsonl" "$work/after.jsonl" | wc -l)
[ "$missing" = 0 ] || fail "$missing committed points lost: $(comm -23 "$work/seen.jsonl" "$work/after.jsonl" | head -n 2)"
! grep -q -E 'seq (gap|repeat)' "$work/after.decode" || fail "the spool's seq: $(grep 'seq ' "$work/after.decode" | head -n 2)"
[ "$(summary after "first seq")" = 1 ] || fail "the spool's first seq is $(summary after "first seq")"
# at most a commit period (1 s) of the bus lost: the batches cover it
# until less than that before the guest was last seen alive (it was alive
# up to half a second more), give or take the commit's own time on the
# emulated disk (0.5 s)
awk -v a="${alive:11:12}" -v c="${after_until:11:12}" 'BEGIN {
        split(a, x, ":"); split(c, y, ":");
        lost = (x[1] * 3600 + x[2] * 60 + x[3]) - (y[1] * 3600 + y[2] * 60 + y[3]);
        printf "the guest last seen alive %.2f s after the end of what the spool covers (at most 1.5)\n", lost;
        exit !(lost <= 1.5) }' || fail "more than a commit period lost at the cut"
[ "$(cat "$work/after.status")" = 0 ] || fail "the backfill ended with status $(cat "$work/after.status")"
grep -q -E "^mqtt: [0-9]+ messages delivered to 127.0.0.1:$port, 0 dropped from the full spool, 0 left in the spool " \
    "$work/after.err" || fail "the backfill did not deliver the spool: $(grep '^mqtt' "$work/after.err")"
# every point reached the broker, from the spool (historical)
grep -E '^vehcan/[^/]+/(birth|batch) ' "$work/sub.out" >"$work/broker.hex"
"$decode" <"$work/broker.hex" 2>"$work/broker.decode" >"$work/broker.all.jsonl" ||
    fail "the broker's payloads do not decode: $(cat "$work/broker.decode")"
grep '"historical":true' "$work/broker.all.jsonl" | sed 's/,"historical":true//' | sort >"$work/broker.jsonl"
missing=$(comm -23 "$work/after.jsonl" "$work/broker.jsonl" | wc -l)
[ "$missing" = 0 ] || fail "$missing points of the spool did not reach the broker as historical"
echo "PASS rig.mqtt_power_cut"
