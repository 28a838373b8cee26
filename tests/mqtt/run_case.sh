#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# vehcan's MQTT uplink against Debian's mosquitto on 127.0.0.1: one case per
# run, each with brokers of its own on free ports.
#   tests/mqtt/run_case.sh VEHCAN CASE
# VEHCAN_TEST_EMULATOR, when set, runs VEHCAN (a cross build's qemu-user).
# Exits 0 when the case passed; otherwise prints what it saw.
set -uo pipefail
read -r -a vehcan <<<"${VEHCAN_TEST_EMULATOR:-} $1"
case_name=$2
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
source "$top/tests/mqtt/lib.sh"

fail() {
    echo "FAIL $case_name: $*"
    for f in "$work"/*.out "$work"/*.err "$work"/*.log; do
        [ -s "$f" ] && { echo "---- $f"; tail -n 30 "$f" | cut -c1-240; }
    done
    exit 1
}

# ---- brokers ----

# broker NAME [config lines...]: starts mosquitto with its own config on a
# free port of 127.0.0.1; sets port_NAME. broker_start NAME runs it again
# (same port, same config) after broker_stop NAME.
broker() {
    local name=$1
    shift
    local port
    for _ in $(seq 20); do
        port=$(shuf -i 20000-60000 -n 1)
        # (run by root, mosquitto would become user "mosquitto", who may not
        # read the test's files)
        { printf 'listener %s 127.0.0.1\nuser %s\n' "$port" "$(id -un)"; printf '%s\n' "$@"; } \
            >"$work/$name.conf"
        printf -v "port_$name" '%s' "$port"
        broker_start "$name" && return 0
    done
    fail "no free port for broker $name"
}
broker_start() {
    local name=$1
    "${VEHCAN_TEST_MOSQUITTO:-mosquitto}" -c "$work/$name.conf" >>"$work/$name.log" 2>&1 &
    local pid=$!
    pids+=("$pid")
    printf -v "pid_$name" '%s' "$pid"
    local port_var="port_$name"
    # up once it listens; gone at once when the port was taken
    local end=$((SECONDS + 30))
    until (exec 3<>"/dev/tcp/127.0.0.1/${!port_var}") 2>/dev/null; do
        kill -0 "$pid" 2>/dev/null || return 1
        [ $SECONDS -ge $end ] && return 1
        sleep 0.2
    done
    kill -0 "$pid" 2>/dev/null
}
broker_stop() {
    local pid_var="pid_$1"
    kill -TERM "${!pid_var}"
    wait "${!pid_var}" 2>/dev/null
}

# ---- subscribers ----

# subscribe NAME PORT [mosquitto_sub options...]: "%r %t %p" lines (retain
# flag, topic, payload) in $work/NAME.out (a subscriber that is there when a
# message comes gets it with the flag 0, retained or not); returns once the subscription is
# in place (a probe published to vehcan/probe came back).
subscribe() {
    local name=$1 port=$2
    shift 2
    : >"$work/$name.out"
    mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -F "${sub_format:-%r %t %p}" -t vehcan/probe "$@" \
        >"$work/$name.out" 2>"$work/$name.err" &
    pids+=("$!")
    printf -v "sub_$name" '%s' "$!"
    local end=$((SECONDS + 30))
    until grep -q '^0 vehcan/probe ' "$work/$name.out"; do
        [ $SECONDS -ge $end ] && fail "subscriber $name did not come up"
        mosquitto_pub -h 127.0.0.1 -p "$port" -q 1 -t vehcan/probe -m ready "${pub_args[@]}" \
            2>/dev/null
        sleep 0.2
    done
}
pub_args=()
# retained PORT TOPIC [options]: the retained message of TOPIC as "%r %p",
# nothing when there is none.
retained() {
    local port=$1 topic=$2
    shift 2
    mosquitto_sub -h 127.0.0.1 -p "$port" -t "$topic" -F '%r %p' -C 1 -W 3 --retained-only \
        "$@" 2>/dev/null
}
lines_of() { grep -c -- "$2" "$work/$1.out"; }
at_least() { [ "$(lines_of "$1" "$2")" -ge "$3" ]; } # NAME PATTERN N
has_line() { grep -q -x -F -- "$2" "$work/$1.out"; }

# ---- captures ----

# The sequence number of each message of PGN 65280 is in its first two
# bytes: "S N" per line (sender, number) from the subscriber's output.
sequence_of() {
    grep ' vehcan/[^/]*/65280 ' "$work/$1.out" |
        sed -E 's/.*"data":"([0-9A-F]{2}) ([0-9A-F]{2}) .*"source":([0-9]+).*/\3 \1\2/' |
        while read -r source hex; do echo "$source $((16#$hex))"; done
}
# counter_capture FILE COUNT STEP_MS [SENDER...]: COUNT frames of PGN 65280
# per sender, STEP_MS apart, numbered from 0.
counter_capture() {
    local file=$1 count=$2 step=$3
    shift 3
    awk -v n="$count" -v step="$step" -v senders="$*" 'BEGIN {
        k = split(senders, s, " ");
        for (i = 0; i < n; i++)
            for (j = 1; j <= k; j++) {
                t = 1000 + i * step / 1000.0;
                printf "(%.6f) can0 18FF00%s#%02X%02X000000000000\n", t, s[j], int(i / 256), i % 256;
            }
    }' >"$file"
}
expected_sequence() { # COUNT SENDER_DECIMAL: "S 0" .. "S COUNT-1"
    for ((i = 0; i < $1; i++)); do echo "$2 $i"; done
}

# ---- the cases ----

vin=1HTMKAAN0CH123456
plain=("allow_anonymous true" "persistence false")

# Every message of the example capture, as the JSON that --json prints, to
# vehcan/VEHICLE/PGN in order: the host's name until the VIN came, the VIN
# after; the retained topics move to the VIN and end "offline".
case_replay_topics_and_json() {
    broker b "${plain[@]}"
    subscribe all "$port_b" -t 'vehcan/#'
    "${vehcan[@]}" replay examples/truck.log --json >"$work/replay.json" || fail "replay --json"
    timeout 120 "${vehcan[@]}" replay examples/truck.log --quiet --uplink json --vehicle gw-7 \
        --mqtt "mqtt://127.0.0.1:$port_b" >"$work/vehcan.log" 2>&1 ||
        fail "vehcan exit status $?"
    [ -s "$work/vehcan.log" ] || fail "nothing said on stderr"
    wait_until 30 has_line all "0 vehcan/$vin/status {\"status\":\"offline\",\"vehicle\":\"$vin\"}" ||
        fail "no offline status under the VIN"
    awk -v vin="$vin" 'BEGIN { vehicle = "gw-7" }
        /"pgn":/ && !/^\{"summary"/ {
            match($0, /"pgn":[0-9]+/); pgn = substr($0, RSTART + 6, RLENGTH - 6);
            if (pgn == 65260 && index($0, "\"text\":\"" vin "\"")) vehicle = vin;
            print "0 vehcan/" vehicle "/" pgn " " $0 }' "$work/replay.json" >"$work/want.txt"
    grep -E '^0 vehcan/[^/]+/[0-9]+ ' "$work/all.out" >"$work/got.txt"
    [ "$(grep -c "vehcan/gw-7/" "$work/want.txt")" -gt 10 ] || fail "the VIN came too early to test"
    diff "$work/want.txt" "$work/got.txt" >"$work/diff.log" || fail "messages differ from --json"
    # retained: the status and trouble codes under the VIN, none left under gw-7
    [ "$(retained "$port_b" "vehcan/$vin/status")" = "1 {\"status\":\"offline\",\"vehicle\":\"$vin\"}" ] ||
        fail "retained status: $(retained "$port_b" "vehcan/$vin/status")"
    local dm1='{"nodes":[{"dtcs":[{"fmi":16,"fmi_text":"data valid but above normal operating range, moderately severe level","occurrences":1,"spn":110}],"lamps":{"amber_warning":"on","mil":"off","protect":"off","red_stop":"off"},"source":0}],"seq":8,"time":0.031107,"timestamp":"2026-12-08T18:05:34.606710Z"}'
    [ "$(retained "$port_b" "vehcan/$vin/dm1")" = "1 $dm1" ] ||
        fail "retained dm1: $(retained "$port_b" "vehcan/$vin/dm1")"
    [ -z "$(retained "$port_b" 'vehcan/gw-7/#')" ] || fail "retained left under gw-7"
    # the online status while it ran, with the capture and start time, under
    # the name the connection had (gw-7, or the VIN when the replay had read
    # that far before the broker answered)
    grep -q -E "^0 vehcan/(gw-7|$vin)/status \{\"capture\":\"examples/truck.log\",\"started\":\"[0-9-]{10}T[0-9:]{8}Z\",\"status\":\"online\",\"vehicle\":\"(gw-7|$vin)\"\}$" \
        "$work/all.out" || fail "no online status"
    # every message that went through the backlog counts: all but the probe
    # and the statuses sent at connection and at the end
    local n
    n=$(grep -c -v -E '^0 vehcan/(probe |[^/]+/status \{)' "$work/all.out")
    grep -q -x "mqtt: $n messages delivered to 127.0.0.1:$port_b, 0 dropped from the full backlog, 0 not sent" \
        "$work/vehcan.log" || fail "delivered count ($n) not reported"
}

# DM1 retained: published when the codes or lamps change (not when the same
# fault repeats), and an empty set once the fault clears.
case_dm1_retained() {
    broker b "${plain[@]}"
    subscribe all "$port_b" -t 'vehcan/+/dm1'
    cat >"$work/dm1.log" <<'LOG'
(1000.000000) can0 18FECA00#04FF6E001001FFFF
(1001.000000) can0 18FECA00#04FF6E001002FFFF
(1001.500000) can0 18FECA00#44FF6E001002FFFF
(1002.000000) can0 18FECA00#00FF00000000FFFF
(1003.000000) can0 18FECA00#00FF00000000FFFF
LOG
    timeout 120 "${vehcan[@]}" replay "$work/dm1.log" --quiet --uplink json --vehicle dm1-test \
        --mqtt "mqtt://127.0.0.1:$port_b" >"$work/vehcan.log" 2>&1 || fail "vehcan exit status $?"
    local code='"dtcs":[{"fmi":16,"fmi_text":"data valid but above normal operating range, moderately severe level","occurrences":'
    # (each carries the time stamp and number of the DM1 that changed it)
    local cleared='{"nodes":[],"seq":4,"time":2.0,"timestamp":"1970-01-01T00:16:42.000000Z"}'
    wait_until 30 has_line all "0 vehcan/dm1-test/dm1 $cleared" || fail "no cleared set"
    cat >"$work/want.txt" <<WANT
0 vehcan/dm1-test/dm1 {"nodes":[{${code}1,"spn":110}],"lamps":{"amber_warning":"on","mil":"off","protect":"off","red_stop":"off"},"source":0}],"seq":1,"time":0.0,"timestamp":"1970-01-01T00:16:40.000000Z"}
0 vehcan/dm1-test/dm1 {"nodes":[{${code}2,"spn":110}],"lamps":{"amber_warning":"on","mil":"on","protect":"off","red_stop":"off"},"source":0}],"seq":3,"time":1.5,"timestamp":"1970-01-01T00:16:41.500000Z"}
0 vehcan/dm1-test/dm1 $cleared
WANT
    grep ' vehcan/dm1-test/dm1 ' "$work/all.out" >"$work/got.txt"
    diff "$work/want.txt" "$work/got.txt" >"$work/diff.log" || fail "dm1 publications differ"
    [ "$(retained "$port_b" vehcan/dm1-test/dm1)" = "1 $cleared" ] ||
        fail "retained dm1: $(retained "$port_b" vehcan/dm1-test/dm1)"
}

# Killed without a goodbye, vehcan leaves its "offline" to the broker's
# last will.
case_last_will() {
    broker b "${plain[@]}"
    subscribe all "$port_b" -t 'vehcan/+/status'
    counter_capture "$work/long.log" 600 100 10
    "${vehcan[@]}" replay "$work/long.log" --speed 1 --quiet --uplink json --vehicle will-test \
        --mqtt "mqtt://127.0.0.1:$port_b" >"$work/vehcan.log" 2>&1 &
    local v=$!
    pids+=("$v")
    wait_until 60 grep -q '^0 vehcan/will-test/status {"capture".*"status":"online"' "$work/all.out" ||
        fail "no online status"
    kill -KILL "$v"
    wait_until 60 has_line all '0 vehcan/will-test/status {"status":"offline","vehicle":"will-test"}' ||
        fail "no last will"
    [ "$(retained "$port_b" vehcan/will-test/status)" = '1 {"status":"offline","vehicle":"will-test"}' ] ||
        fail "retained status: $(retained "$port_b" vehcan/will-test/status)"
}

# --rate-limit 2: per sender at most one message each 0.5 s of capture time
# (at QoS 0, which the broker does not acknowledge: all still arrive here).
case_rate_limit() {
    broker b "${plain[@]}"
    subscribe all "$port_b" -t 'vehcan/+/65280'
    # sender 0x10 every 100 ms (30 frames), sender 0x20 every 600 ms (5 frames)
    counter_capture "$work/fast.log" 30 100 10
    counter_capture "$work/slow.log" 5 600 20
    sort -m "$work/fast.log" "$work/slow.log" >"$work/both.log"
    timeout 120 "${vehcan[@]}" replay "$work/both.log" --quiet --uplink json --vehicle rate-test --rate-limit 2 --qos 0 \
        --mqtt "mqtt://127.0.0.1:$port_b" >"$work/vehcan.log" 2>&1 || fail "vehcan exit status $?"
    wait_until 30 grep -q '"time":2.4' "$work/all.out" || fail "the last message did not come"
    sequence_of all >"$work/got.txt"
    printf '%s\n' "16 0" "32 0" "16 5" "32 1" "16 10" "32 2" "16 15" "32 3" "16 20" "32 4" \
        "16 25" >"$work/want.txt"
    diff "$work/want.txt" "$work/got.txt" >"$work/diff.log" || fail "rate-limited messages differ"
}

# TLS with a client certificate and a password; a wrong password is refused
# with exit status 8 and one clear line.
case_tls_and_password() {
    local d=$work/pki
    mkdir -p "$d"
    (
        cd "$d" || exit 1
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=vehcan-test-ca \
            -keyout ca.key -out ca.crt
        openssl req -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -keyout server.key -out server.csr
        printf 'subjectAltName=IP:127.0.0.1\n' >server.ext
        openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
            -extfile server.ext -out server.crt
        openssl req -newkey rsa:2048 -nodes -subj /CN=gateway -keyout client.key -out client.csr
        openssl x509 -req -in client.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 \
            -out client.crt
        chmod 644 ./*.key
    ) >"$work/openssl.log" 2>&1 || fail "openssl"
    mosquitto_passwd -b -c "$d/passwords" fleet right-secret >/dev/null 2>&1 || fail "mosquitto_passwd"
    chmod 644 "$d/passwords"
    broker t "allow_anonymous false" "persistence false" "password_file $d/passwords" \
        "cafile $d/ca.crt" "certfile $d/server.crt" "keyfile $d/server.key" \
        "require_certificate true"
    local tls=(--cafile "$d/ca.crt" --cert "$d/client.crt" --key "$d/client.key")
    pub_args=("${tls[@]}" -u fleet -P right-secret)
    subscribe all "$port_t" "${pub_args[@]}" -t "vehcan/$vin/61444"
    local mq=(--mqtt "mqtts://127.0.0.1:$port_t" --mqtt-user fleet --mqtt-ca "$d/ca.crt"
        --mqtt-cert "$d/client.crt" --mqtt-key "$d/client.key")
    VEHCAN_MQTT_PASSWORD=right-secret timeout 120 "${vehcan[@]}" replay examples/truck.log --quiet --uplink json \
        --vehicle tls-test "${mq[@]}" >"$work/vehcan.log" 2>&1 || fail "vehcan exit status $?"
    "${vehcan[@]}" replay examples/truck.log --json | grep '"pgn":61444,' |
        sed "s|^|0 vehcan/$vin/61444 |" | tail -n 5 >"$work/want.txt"
    wait_until 30 grep -q -F -x -f <(tail -n 1 "$work/want.txt") "$work/all.out" ||
        fail "the last EEC1 did not come over TLS"
    tail -n 5 "$work/all.out" >"$work/got.txt"
    diff "$work/want.txt" "$work/got.txt" >"$work/diff.log" || fail "messages over TLS differ"
    [ "$(retained "$port_t" "vehcan/$vin/status" "${pub_args[@]}")" = "1 {\"status\":\"offline\",\"vehicle\":\"$vin\"}" ] ||
        fail "retained status over TLS"

    VEHCAN_MQTT_PASSWORD=wrong timeout 60 "${vehcan[@]}" replay examples/truck.log --quiet --uplink json \
        --vehicle tls-test "${mq[@]}" >"$work/refused.out" 2>"$work/refused.err"
    local status=$?
    [ "$status" = 8 ] || fail "wrong password: exit status $status, expected 8"
    grep -q -x -F "vehcan: the broker at 127.0.0.1:$port_t refused the connection (not authorised): check --mqtt-user and \$VEHCAN_MQTT_PASSWORD" \
        "$work/refused.err" || fail "no clear error for the wrong password"
    [ "$(grep -c '^vehcan: ' "$work/refused.err")" = 1 ] || fail "more than one error line"
}

# The broker goes away for a few seconds mid-run: what vehcan publishes
# meanwhile waits in its backlog and arrives once the broker is back,
# nothing lost, in order. The broker keeps the subscriber's session
# (persistence, a persistent client), as a fleet's broker does.
case_broker_outage() {
    mkdir -p "$work/db"
    broker p "allow_anonymous true" "persistence true" "persistence_location $work/db/" \
        "max_queued_messages 0"
    subscribe seq "$port_p" -c -i vehcan-test-outage -t 'vehcan/+/65280'
    counter_capture "$work/count.log" 150 40 10
    "${vehcan[@]}" replay "$work/count.log" --speed 1 --quiet --uplink json --vehicle outage-test \
        --mqtt "mqtt://127.0.0.1:$port_p" >"$work/vehcan.log" 2>&1 &
    local v=$!
    pids+=("$v")
    wait_until 60 at_least seq 65280 20 || fail "no messages before the outage"
    broker_stop p
    sleep 3 # the outage
    local during
    during=$(lines_of seq 65280)
    broker_start p || fail "the broker did not come back"
    wait "$v"
    local status=$?
    [ "$status" = 0 ] || fail "vehcan exit status $status"
    grep -q 'mqtt: lost the broker' "$work/vehcan.log" || fail "vehcan did not see the outage"
    [ "$during" -lt 150 ] || fail "the outage came after the last message"
    wait_until 60 at_least seq 65280 150 || fail "messages missing after the outage"
    # a message in flight at the outage may come twice; the first copies
    # must be every number, in order
    sequence_of seq | awk '!seen[$0]++' >"$work/got.txt"
    expected_sequence 150 16 >"$work/want.txt"
    diff "$work/want.txt" "$work/got.txt" >"$work/diff.log" || fail "lost or out of order"
    grep -q -x 'mqtt: 150 messages delivered to 127.0.0.1:'"$port_p"', 0 dropped from the full backlog, 0 not sent' \
        "$work/vehcan.log" || fail "report at exit"
}

# With the broker away the whole time, the backlog keeps the newest N
# messages; once the broker is back they arrive in order and the report
# counts the dropped ones.
case_backlog_overflow() {
    mkdir -p "$work/db"
    broker p "allow_anonymous true" "persistence true" "persistence_location $work/db/" \
        "max_queued_messages 0"
    subscribe seq "$port_p" -c -i vehcan-test-overflow -t 'vehcan/+/65280'
    broker_stop p # the subscriber's session stays in the broker's database
    counter_capture "$work/count.log" 200 10 10
    "${vehcan[@]}" replay "$work/count.log" --quiet --uplink json --vehicle overflow-test --backlog 50 \
        --mqtt "mqtt://127.0.0.1:$port_p" >"$work/vehcan.log" 2>&1 &
    local v=$!
    pids+=("$v")
    wait_until 60 grep -q 'capture read' "$work/vehcan.log" || fail "the capture was not read"
    grep -q 'mqtt: cannot connect to\|mqtt: no connection to' "$work/vehcan.log" ||
        fail "vehcan did not tell that the broker is away"
    broker_start p || fail "the broker did not come back"
    wait "$v"
    local status=$?
    [ "$status" = 0 ] || fail "vehcan exit status $status"
    grep -q -x 'mqtt: 50 messages delivered to 127.0.0.1:'"$port_p"', 150 dropped from the full backlog, 0 not sent' \
        "$work/vehcan.log" || fail "report at exit"
    wait_until 60 at_least seq 65280 50 || fail "the backlog did not arrive"
    sequence_of seq >"$work/got.txt"
    for ((i = 150; i < 200; i++)); do echo "16 $i"; done >"$work/want.txt"
    diff "$work/want.txt" "$work/got.txt" >"$work/diff.log" || fail "not the newest 50 in order"
}

# ---- the disk spool ----

# "SEQ TIMESTAMP SENDER COUNTER" per message of PGN 65280 in JSON lines
# (with or without the subscriber's "retain topic " in front).
spooled_fields() {
    grep -E '^\{|^[01] vehcan/[^/]+/65280 ' "$1" | sed -E 's/^[01] [^ ]+ //' |
        jq -r 'select(.pgn == 65280) | "\(.seq) \(.timestamp) \(.source) \(.data[0:5])"' |
        while read -r seq ts source b1 b2; do echo "$seq $ts $source $((16#$b1$b2))"; done
}
# The capture time of counter_capture's frame N, STEP_MS apart, as RFC 3339.
capture_timestamp() { # N STEP_MS
    awk -v i="$1" -v step="$2" 'BEGIN {
        us = 1000000000 + i * step * 1000; s = int(us / 1000000);
        printf "1970-01-01T00:%02d:%02d.%06dZ\n", int(s / 60), s % 60, us % 1000000 }'
}

# A power cut mid-run with the broker down: replay with --spool, SIGKILL
# after a few seconds. Every message the spool had committed arrives once,
# in order, with its capture's time stamp, when a second run finds the
# broker up; the second run's messages come after them, numbered on.
case_spool_kill_and_backfill() {
    broker b "${plain[@]}"
    broker_stop b # away during the first run
    counter_capture "$work/drive.log" 400 40 10 # 16 s of capture, 25 messages a second
    local spool=$work/spool
    "${vehcan[@]}" replay "$work/drive.log" --speed 2 --quiet --uplink json --vehicle spool-test --spool "$spool" \
        --mqtt "mqtt://127.0.0.1:$port_b" >"$work/run1.log" 2>&1 &
    local v=$! started=$SECONDS
    pids+=("$v")
    sleep 5
    kill -KILL "$v"
    wait "$v" 2>/dev/null
    local ran=$((SECONDS - started))
    [ -s "$spool/spool.db" ] || fail "no spool written"
    sqlite3 "$spool/spool.db" 'SELECT payload FROM messages ORDER BY id' >"$work/committed.json" ||
        fail "the spool cannot be read"
    spooled_fields "$work/committed.json" >"$work/committed.txt"
    local committed
    committed=$(wc -l <"$work/committed.txt")
    echo "killed after about ${ran} s (capture read at twice its pace, 50 messages a second): $committed committed"
    [ "$committed" -ge 50 ] || fail "only $committed messages committed before the kill"
    # the committed ones are the capture's first, numbered from 1
    for ((i = 0; i < committed; i++)); do
        echo "$((i + 1)) $(capture_timestamp $i 40) 16 $i"
    done >"$work/want1.txt"
    diff "$work/want1.txt" "$work/committed.txt" >"$work/diff.log" || fail "committed messages differ"

    broker_start b || fail "the broker did not come back"
    subscribe all "$port_b" -t 'vehcan/+/65280'
    counter_capture "$work/later.log" 5 100 20
    timeout 120 "${vehcan[@]}" replay "$work/later.log" --quiet --uplink json --vehicle spool-test --spool "$spool" \
        --mqtt "mqtt://127.0.0.1:$port_b" >"$work/run2.log" 2>&1 || fail "second run: exit status $?"
    grep -q -x "spool: $committed messages of an earlier run in $spool/spool.db, sent first" \
        "$work/run2.log" || fail "the second run did not find the spool's messages"
    grep -q -x "mqtt: $((committed + 5)) messages delivered to 127.0.0.1:$port_b, 0 dropped from the full spool, 0 left in the spool $spool/spool.db" \
        "$work/run2.log" || fail "report of the second run"
    wait_until 30 at_least all 65280 $((committed + 5)) || fail "messages missing"
    spooled_fields "$work/all.out" >"$work/got.txt"
    head -n "$committed" "$work/got.txt" >"$work/got1.txt"
    diff "$work/want1.txt" "$work/got1.txt" >"$work/diff.log" || fail "the backfill differs"
    # then the second run's, numbered after the first run's, each once
    tail -n +$((committed + 1)) "$work/got.txt" >"$work/got2.txt"
    [ "$(wc -l <"$work/got2.txt")" = 5 ] || fail "the second run's messages: $(wc -l <"$work/got2.txt")"
    awk -v last="$committed" '$1 <= last || $3 != 32 || $4 != NR - 1 { exit 1 } { last = $1 }' \
        "$work/got2.txt" || fail "the second run's numbers or messages"
    [ "$(sqlite3 "$spool/spool.db" 'SELECT count(*) FROM messages')" = 0 ] ||
        fail "delivered messages left in the spool"
}

# A broker outage of several minutes at the simulator's rate (a capture of
# 6 min at 84 messages a second, replayed at 20 times its pace, the broker
# away for 10 s: over 3 min of the capture): the spool holds it all and
# delivers it, in order, once the broker is back.
case_spool_long_outage() {
    mkdir -p "$work/db"
    broker p "allow_anonymous true" "persistence true" "persistence_location $work/db/" \
        "max_queued_messages 0"
    subscribe seq "$port_p" -c -i vehcan-test-spool-outage -t 'vehcan/+/65280'
    counter_capture "$work/count.log" 7560 48 10 11 12 13 # 363 s, 4 senders
    local total=30240
    "${vehcan[@]}" replay "$work/count.log" --speed 20 --quiet --uplink json --vehicle outage-test \
        --spool "$work/spool" --spool-max-mb 16 \
        --mqtt "mqtt://127.0.0.1:$port_p" >"$work/vehcan.log" 2>&1 &
    local v=$!
    pids+=("$v")
    wait_until 60 at_least seq 65280 100 || fail "no messages before the outage"
    broker_stop p
    local during
    during=$(lines_of seq 65280)
    sleep 10 # over three minutes of the capture
    broker_start p || fail "the broker did not come back"
    wait "$v"
    local status=$?
    [ "$status" = 0 ] || fail "vehcan exit status $status"
    grep -q 'mqtt: lost the broker' "$work/vehcan.log" || fail "vehcan did not see the outage"
    [ "$during" -lt 5000 ] || fail "the outage came too late ($during messages before it)"
    grep -q -x "mqtt: $total messages delivered to 127.0.0.1:$port_p, 0 dropped from the full spool, 0 left in the spool $work/spool/spool.db" \
        "$work/vehcan.log" || fail "report at exit"
    wait_until 60 at_least seq 65280 "$total" || fail "messages missing after the outage"
    # a message in flight at the outage may come twice (the same seq); the
    # first copies must be every message, in order
    spooled_fields "$work/seq.out" | awk '!seen[$1]++' >"$work/got.txt"
    awk '{ print $1, $3, $4 }' "$work/got.txt" >"$work/got_short.txt"
    awk -v n=7560 'BEGIN { for (i = 0; i < n; i++) for (s = 16; s <= 19; s++) print ++k, s, i }' \
        >"$work/want.txt"
    diff "$work/want.txt" "$work/got_short.txt" >"$work/diff.log" || fail "lost or out of order"
}

# fsyncs of the spool at the simulator's rate, seen by strace over a 20 s
# replay at the capture's own pace: at most one a flush period (so at most
# 60 a minute with the default 1000 ms) between the start and the end; the
# spool exists already, as it does on a gateway.
case_spool_fsyncs() {
    broker b "${plain[@]}"
    counter_capture "$work/sim.log" 420 48 10 11 12 13 # 20 s, 84 messages a second
    counter_capture "$work/first.log" 1 48 10
    "${vehcan[@]}" replay "$work/first.log" --quiet --uplink json --spool "$work/spool" \
        --mqtt "mqtt://127.0.0.1:$port_b" >"$work/first.log.out" 2>&1 || fail "first run"
    # LeakSanitizer cannot run under ptrace: a sanitized build checks its
    # leaks in the other cases.
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 \
        strace -f -tt -e trace=fsync,fdatasync -o "$work/strace.log" \
        "${vehcan[@]}" replay "$work/sim.log" --speed 1 --quiet --uplink json --vehicle fsync-test \
        --spool "$work/spool" --mqtt "mqtt://127.0.0.1:$port_b" >"$work/vehcan.log" 2>&1 ||
        fail "vehcan exit status $?"
    grep -q -x "mqtt: 1680 messages delivered to 127.0.0.1:$port_b, 0 dropped from the full spool, 0 left in the spool $work/spool/spool.db" \
        "$work/vehcan.log" || fail "report at exit"
    # "PID HH:MM:SS.ssssss fdatasync(..." lines: those of the 16 s from 2 s
    # after the first to 2 s before the last
    awk '/ f(data)?sync\(/ { split($2, t, ":"); print t[1] * 3600 + t[2] * 60 + t[3] }' \
        "$work/strace.log" >"$work/syncs.txt"
    local all inside
    all=$(wc -l <"$work/syncs.txt")
    inside=$(awk 'NR == 1 { first = $1 } { t[NR] = $1 } END {
        for (i = 1; i <= NR; i++) if (t[i] >= first + 2 && t[i] < first + 18) n++; print n + 0 }' \
        "$work/syncs.txt")
    echo "fsyncs: $all over the whole run, $inside in 16 s of steady traffic ($((inside * 60 / 16)) a minute)"
    [ "$inside" -ge 10 ] || fail "$inside fsyncs in 16 s: the spool is not synced at each commit"
    # (16 flush periods may hold 17 commits when a period starts the window)
    [ "$inside" -le 17 ] || fail "$inside fsyncs in 16 s: more than one a flush period"
    # the whole run: a commit a second over about 21 s, the last commit and
    # the checkpoint at the end (two syncs)
    [ "$all" -le 26 ] || fail "$all fsyncs over a 20 s run"
}

# ---- the compact uplink ----

# drive_capture FILE SECONDS: the engine speed every 20 ms, moving; a DM1
# every second, with a fault from half-time on; the coolant every second
# from half-time on (the signal table grows then).
drive_capture() {
    awk -v s="$2" 'BEGIN {
        for (ms = 0; ms < s * 1000; ms += 20) {
            t = 1000 + ms / 1000.0;
            raw = int((1200 + 400 * sin(ms / 3000.0)) * 8);
            printf "(%.6f) can0 0CF00400#FF7D7D%02X%02X00FF7D\n", t, raw % 256, int(raw / 256);
            if (ms % 1000 == 0 && ms >= s * 500) {
                printf "(%.6f) can0 18FECA00#04FF6E001001FFFF\n", t + 0.001;
                printf "(%.6f) can0 18FEEE00#8246FFFFFFFFFFFF\n", t + 0.002;
            } else if (ms % 1000 == 0) {
                printf "(%.6f) can0 18FECA00#00FF00000000FFFF\n", t + 0.001;
            }
        }
    }' >"$1"
}
# payload_lines NAME: the compact payloads a "%r %t %x" subscriber saw,
# decoded: lines in NAME.jsonl, seq gaps and the summary in NAME.decode.
payload_lines() {
    cut -d' ' -f2- "$work/$1.out" |
        "$VEHCAN_TEST_PAYLOAD_LINES" >"$work/$1.jsonl" 2>"$work/$1.decode" ||
        fail "the payloads do not decode: $(cat "$work/$1.decode")"
}
compact_subscriber() { # NAME PORT TOPIC...: hex payloads, a session kept across outages
    local name=$1 port=$2
    shift 2
    sub_format='%r %t %x' subscribe "$name" "$port" -c -i "vehcan-test-$name" "$@"
}

# Births when the table grows and after every reconnect (the latest one
# retained), batches numbered without a gap across a broker outage, the
# ones made while it was away marked historical, every engine speed of the
# capture within its tolerance of what the batches reconstruct.
case_compact_births_and_reconnect() {
    mkdir -p "$work/db"
    broker p "allow_anonymous true" "persistence true" "persistence_location $work/db/" \
        "max_queued_messages 0"
    compact_subscriber fleet "$port_p" -t 'vehcan/compact-test/#'
    drive_capture "$work/drive.log" 20
    printf '[collection]\nbatch_s = 2\n' >"$work/campaign.toml"
    "${vehcan[@]}" replay "$work/drive.log" --speed 1 --quiet --vehicle compact-test \
        --config "$work/campaign.toml" --mqtt "mqtt://127.0.0.1:$port_p" >"$work/vehcan.log" 2>&1 &
    local v=$!
    pids+=("$v")
    wait_until 60 at_least fleet '/batch ' 2 || fail "no batch before the outage"
    broker_stop p
    sleep 4 # the outage
    broker_start p || fail "the broker did not come back"
    wait "$v"
    local status=$?
    [ "$status" = 0 ] || fail "vehcan exit status $status"
    grep -q 'mqtt: lost the broker' "$work/vehcan.log" || fail "vehcan did not see the outage"
    sleep 1
    payload_lines fleet
    cat "$work/fleet.decode"
    ! grep -q 'seq gap' "$work/fleet.decode" || fail "a batch went missing"
    local births
    births=$(grep -c ' vehcan/compact-test/birth ' "$work/fleet.out")
    # the first, the grown table at half-time, and again after the reconnect
    [ "$births" -ge 3 ] || fail "$births births"
    retained "$port_p" vehcan/compact-test/birth | head -c 1 >"$work/retained.txt"
    [ "$(cat "$work/retained.txt")" = 1 ] || fail "no retained birth: $(od -c "$work/retained.txt" | head -2)"
    grep -q '"historical":true' "$work/fleet.jsonl" || fail "nothing marked historical"
    grep -q '"name":"engine coolant temperature"' "$work/fleet.jsonl" || fail "the coolant never came"
    # Reconstruct the engine speed at every frame of the capture: a step or
    # a line between the points, each frame within the tolerance.
    jq -r 'select(.spn == 190) | [.timestamp, .value, .tolerance, .reconstruction] | @tsv' \
        "$work/fleet.jsonl" | sort -u >"$work/points.tsv"
    [ -s "$work/points.tsv" ] || fail "no engine speed decoded"
    awk -F'\t' -f "$top/tests/mqtt/reconstruct.awk" \
        "$work/points.tsv" "$work/drive.log" || fail "engine speed beyond its tolerance"
}

# A batch that never reached the broker (the backlog in memory holds one,
# the broker is away while the capture plays) is a gap the decoder reports.
case_compact_seq_gap() {
    mkdir -p "$work/db"
    broker p "allow_anonymous true" "persistence true" "persistence_location $work/db/" \
        "max_queued_messages 0"
    compact_subscriber fleet "$port_p" -t 'vehcan/gap-test/#'
    broker_stop p # the subscriber's session stays in the broker's database
    drive_capture "$work/drive.log" 10
    printf '[collection]\nbatch_s = 1\n' >"$work/campaign.toml"
    "${vehcan[@]}" replay "$work/drive.log" --speed 2 --quiet --vehicle gap-test --backlog 2 \
        --config "$work/campaign.toml" --mqtt "mqtt://127.0.0.1:$port_p" >"$work/vehcan.log" 2>&1 &
    local v=$!
    pids+=("$v")
    sleep 7
    broker_start p || fail "the broker did not come back"
    wait "$v"
    local status=$?
    [ "$status" = 0 ] || fail "vehcan exit status $status"
    wait_until 30 at_least fleet '/batch ' 1 || fail "no batch"
    payload_lines fleet
    cat "$work/fleet.decode"
    grep -q 'dropped from the full backlog' "$work/vehcan.log" || fail "nothing dropped"
    grep -q -E 'first seq ([2-9]|[1-9][0-9])' "$work/fleet.decode" ||
        grep -q 'seq gap' "$work/fleet.decode" || fail "the decoder saw no gap"
}

# SIGKILL with the spool, the broker away: a second run sends the first
# run's batches (historical), losing at most a commit period, and the
# changed dm1 reaches the broker ahead of that backlog.
case_compact_spool_kill_alarms_first() {
    local spool=$work/spool
    broker p "${plain[@]}"
    broker_stop p
    drive_capture "$work/drive.log" 30
    printf '[collection]\nbatch_s = 60\n' >"$work/campaign.toml"
    "${vehcan[@]}" replay "$work/drive.log" --speed 1 --quiet --vehicle kill-test --spool "$spool" \
        --config "$work/campaign.toml" --mqtt "mqtt://127.0.0.1:$port_p" >"$work/first.log" 2>&1 &
    local v=$!
    pids+=("$v")
    sleep 8
    kill -KILL "$v"
    wait "$v" 2>/dev/null
    broker_start p || fail "the broker did not come back"
    compact_subscriber fleet "$port_p" -t 'vehcan/kill-test/#'
    # the second run: from half-time on, with the fault
    awk -F'[()]' '$2 >= 1015' "$work/drive.log" >"$work/later.log"
    timeout 120 "${vehcan[@]}" replay "$work/later.log" --speed 4 --quiet --vehicle kill-test \
        --spool "$spool" --config "$work/campaign.toml" --mqtt "mqtt://127.0.0.1:$port_p" \
        >"$work/second.log" 2>&1 || fail "the second run failed"
    grep -q 'messages of an earlier run' "$work/second.log" || fail "no spool left by the kill"
    sleep 1
    payload_lines fleet
    cat "$work/fleet.decode"
    # the dm1 with the fault before the first batch
    local dm1 batch
    dm1=$(grep -n ' vehcan/kill-test/dm1 ' "$work/fleet.out" | head -1 | cut -d: -f1)
    batch=$(grep -n ' vehcan/kill-test/batch ' "$work/fleet.out" | head -1 | cut -d: -f1)
    [ -n "$dm1" ] && [ -n "$batch" ] || fail "no dm1 or no batch"
    [ "$dm1" -lt "$batch" ] || fail "the dm1 (line $dm1) came after a batch (line $batch)"
    # the first run's engine speed: read until the kill, at most a commit
    # period (1 s) lost; the first run played about 8 s
    local last
    last=$(jq -r 'select(.spn == 190 and .historical == true) | .timestamp' "$work/fleet.jsonl" |
        sort | tail -1)
    [ -n "$last" ] || fail "none of the first run's batches came"
    local seconds=${last:17:9}
    awk -v s="$seconds" 'BEGIN { exit !(s + 0 >= 45.5) }' ||
        fail "the first run's last engine speed at $last: more than a commit period lost"
}

"case_$case_name"
echo "PASS $case_name"
