#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A power cut of a gateway with its spool on a disk of its own: the rig's
# guest runs vehcan monitor --mqtt --spool against vehcan-sim with no broker
# and is killed (QEMU, no shutdown) mid-run; a second boot with the broker
# up opens the spool, and every message the spool had committed is there
# and reaches the broker.
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
# The highest "seq" in the spool's committed messages and their count.
committed() {
    sqlite3 "$1" "SELECT coalesce(max(json_extract(payload, '\$.seq')), 0) || ' ' || count(*)
                  FROM messages WHERE retain = 0" 2>/dev/null
}

case $step in
--cut)
    # Guest, first boot: the bus to a spool with no broker until the power
    # goes; what the spool has committed is noted on the host (9p, written
    # through) every half second.
    dir=$4
    mount_spool || { echo "FAIL no disk"; exit 1; }
    ip link set can1 up type can bitrate 500000
    "$sim" --quiet &
    "$vehcan" monitor --quiet --uplink json --vehicle cut-test --mqtt "mqtt://127.0.0.1:$port" \
        --spool /mnt/spool/vehcan >"$dir/cut.out" 2>"$dir/cut.err" &
    : >"$dir/seen.txt"
    while true; do
        if [ -s /mnt/spool/vehcan/spool.db ]; then
            c=$(committed /mnt/spool/vehcan/spool.db) && echo "$c" >>"$dir/seen.txt"
        fi
        sleep 0.5
    done
    ;;
--after)
    # Guest, second boot: the spool as the cut left it, then the broker.
    dir=$4
    mount_spool || { echo "FAIL no disk"; exit 1; }
    # (read-only, before vehcan opens it)
    committed /mnt/spool/vehcan/spool.db >"$dir/after.txt"
    sqlite3 /mnt/spool/vehcan/spool.db \
        "SELECT json_extract(payload, '\$.seq') FROM messages WHERE retain = 0 ORDER BY id" \
        >"$dir/after_seqs.txt"
    # (with the retained trouble codes, which carry their DM1's number)
    sqlite3 /mnt/spool/vehcan/spool.db "SELECT count(*) FROM messages" >"$dir/after_rows.txt"
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
    mosquitto_sub -h 127.0.0.1 -p $port -q 1 -t 'vehcan/+/+' -F '%t %p' >"$dir/sub.out" 2>&1 &
    sub=$!
    # subscribed once a message of its own comes back (not a PGN: never counted)
    for _ in $(seq 50); do
        mosquitto_pub -h 127.0.0.1 -p $port -t vehcan/probe/sub -m up 2>/dev/null
        sleep 0.2
        grep -q '^vehcan/probe/sub ' "$dir/sub.out" && break
    done
    # a backfill: a one-frame capture, after the spool's content
    echo "(2000000000.000000) can0 18FEF100#FF005001FFFFFFFF" >"$dir/one.log"
    timeout 300 "$vehcan" replay "$dir/one.log" --quiet --uplink json --vehicle cut-test --spool /mnt/spool/vehcan \
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
truncate -s 256M "$work/disk.img"
mkfs.ext4 -q -F "$work/disk.img" || fail "mkfs.ext4"
"$top/rig/run-guest.sh" --timeout 300 --boot-timeout 120 --disk "$work/disk.img" --power-cut 45 \
    -- bash "$here/rig_power_cut.sh" "$vehcan" "$sim" --cut "$work"
status=$?
[ "$status" = 137 ] || fail "the first boot ended with status $status, not the power cut"
[ -s "$work/seen.txt" ] || fail "nothing seen committed before the cut"
read -r seen_seq seen_count < <(tail -n 1 "$work/seen.txt")
[ "${seen_seq:-0}" -gt 0 ] || fail "no message committed before the cut"
"$top/rig/run-guest.sh" --timeout 400 --boot-timeout 120 --disk "$work/disk.img" \
    -- bash "$here/rig_power_cut.sh" "$vehcan" "$sim" --after "$work" ||
    fail "the second boot failed"
read -r after_seq after_count <"$work/after.txt" || fail "the spool could not be read after the cut"
echo "last seen committed before the cut: seq $seen_seq ($seen_count messages); in the spool after it: seq $after_seq ($after_count messages)"
# nothing committed lost: the spool after the cut holds at least what was
# seen committed, every number from 1 on, each once
[ "$after_seq" -ge "$seen_seq" ] || fail "committed messages lost: seq $after_seq < $seen_seq"
[ "$(sort -n -u "$work/after_seqs.txt" | wc -l)" = "$after_count" ] || fail "duplicate numbers"
seq 1 "$after_seq" | diff - <(sort -n "$work/after_seqs.txt") >/dev/null || fail "a gap in the spool"
[ "$(cat "$work/after.status")" = 0 ] || fail "the backfill ended with status $(cat "$work/after.status")"
rows=$(cat "$work/after_rows.txt")
grep -q -E "^mqtt: $((rows + 1)) messages delivered to 127.0.0.1:$port, 0 dropped from the full spool, 0 left in the spool " \
    "$work/after.err" || fail "the backfill did not deliver the spool's $after_count messages"
# every one of them reached the broker, in order
grep -E '^vehcan/[^/]+/[0-9]+ ' "$work/sub.out" | grep -o '"seq":[0-9]*' | cut -d: -f2 | head -n "$after_count" >"$work/got_seqs.txt"
diff "$work/after_seqs.txt" "$work/got_seqs.txt" >/dev/null || fail "the broker got other messages"
echo "PASS rig.mqtt_power_cut"
