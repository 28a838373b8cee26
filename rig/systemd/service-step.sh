#!/bin/sh
# SPDX-License-Identifier: MIT
# The vehcan service in the systemd-booted guest, run by rig-step.service at
# each boot from /run/rig (the host's share). Boot 1 installs the packages,
# configures and starts the service and checks it (readiness after bring-up,
# the broker, status, reload, stop, a crash in a broker outage, the
# watchdog, the security score), then cuts the power in another outage;
# boot 2 checks that the service came back and delivers what its spool
# held, then the packages' upgrade, removal, purge and a fresh install
# (package-lifecycle.sh). Each check prints "ok - NAME" or "not ok - NAME: why" and appends
# the same to /run/rig/results.
set -u
share=/run/rig
# shellcheck source=rig/systemd/checks.sh
. "$share/checks.sh"
# shellcheck source=rig/systemd/package-lifecycle.sh
. "$share/package-lifecycle.sh"

# An outage of the broker: stops it for 6 s of traffic and writes the
# window's first and last second (UTC) to $share/outage.
broker_outage() {
  systemctl stop mosquitto
  date -u +%Y-%m-%dT%H:%M:%S >"$share/outage"
  sleep 6
  date -u +%Y-%m-%dT%H:%M:%S >>"$share/outage"
}
# outage_arrived OFFSET: the compact batches logged after byte OFFSET hold
# points stamped inside the window of $share/outage, marked historical
# (sent from the spool), and the historical batches cover the bus until 2 s
# or less before the window's end (the spool keeps the open batch at every
# commit, each second; a second more for the guest's pace): what the spool
# held reached the broker. (How many points the window has depends on the
# drive: the default collection sends a value when it moves beyond its
# tolerance.)
outage_arrived() {
  from=$(sed -n 1p "$share/outage"); to=$(sed -n 2p "$share/outage")
  decoded_after "$1" | grep '"historical":true' | stamps |
    awk -v from="$from" -v to="$to" '$0 > from && $0 < to' | sort -u >"$share/outage.points"
  wc -l <"$share/outage.points" >"$share/outage.count"
  sed -n 's/.* historical from [^ ]* until \([^ ]*\)$/\1/p' /var/lib/rig-decode.last >"$share/outage.until"
  reached=$(cat "$share/outage.until")
  [ "$(cat "$share/outage.count")" -ge 1 ] && [ -n "$reached" ] && [ "$reached" != - ] &&
    [ $(($(date -u -d "$reached" +%s) - $(date -u -d "${to}Z" +%s))) -ge -2 ]
}

# ---- boot 2: after the power cut ------------------------------------------------------------
if [ -e "$share/boot1.done" ]; then
  echo "rig: boot 2"
  check "after the power cut: the service is back (active)" \
    wait_for 180 systemctl is-active --quiet vehcan
  ready_us=$(systemctl show -p ActiveEnterTimestampMonotonic --value vehcan)
  echo "boot-to-ready: $((ready_us / 1000)) ms after the kernel started" | tee -a "$share/figures"
  # The subscriber came up before the service; everything it logged in
  # this boot is after what boot 1 had synced.
  before=$(cat "$share/sub-size")
  check "after the power cut: the broker gets the decoded vehicle again" \
    wait_for 180 eec1_after "$before" "$(cat "$share/power-cut-at")"
  journalctl -b -u vehcan -q | sed -n 's/.*\(spool: [0-9]* messages of an earlier run\).*/power cut: \1/p' |
    tee -a "$share/figures"
  check "after the power cut: what the spool held during the outage before it arrives" \
    wait_for 90 outage_arrived "$before" || explain "the power cut" "$before"
  echo "power cut: $(cat "$share/outage.count") points of the outage ($(tr '\n' ' ' <"$share/outage")) delivered, the spool's batches until $(cat "$share/outage.until")" |
    tee -a "$share/figures"
  check "after the power cut: the journal of the lost boot is readable" \
    sh -c "journalctl -b -1 -u vehcan -q | grep -q 'can0 up at'"
  cp "$sub_log" "$share/broker-boot2.log"
  decoded_after 0 >"$share/decoded-boot2.jsonl" 2>/dev/null
  cp /var/lib/rig-decode.err "$share/decode.err" 2>/dev/null
  cp /var/log/mosquitto/mosquitto.log "$share/mosquitto.log"
  package_lifecycle
  journalctl -b -o short-monotonic >"$share/journal-boot2.log"
  touch "$share/boot2.done"
  systemctl poweroff
  exit 0
fi

# ---- boot 1: install and configure ------------------------------------------------------------
echo "rig: boot 1"
: >"$results"
check "the packages install with dpkg" sh -c "dpkg -i $share/debs/*.deb >$share/dpkg.log 2>&1"
check "the service is installed disabled" \
  sh -c '[ "$(systemctl is-enabled vehcan 2>&1)" = disabled ]'
check "the queue limit applies: fs.mqueue.msg_max = 5000" \
  sh -c '[ "$(sysctl -n fs.mqueue.msg_max)" = 5000 ]'
check "the configuration is a conffile" \
  sh -c "dpkg-query -W -f='\${Conffiles}' vehcan | grep -q /etc/vehcan/vehcan.conf"

write_conf

start_truck
subscribe

# ---- readiness after bring-up, and the broker ---------------------------------------------------
t0=$(monotonic_now)
check "systemctl enable --now vehcan returns once it is ready" systemctl enable --now --quiet vehcan
t1=$(monotonic_now)
echo "start-to-ready (systemctl start): $(echo "$t0 $t1" | awk '{printf "%.1f", $2 - $1}') s" |
  tee -a "$share/figures"
check "the unit is active (running)" \
  sh -c '[ "$(systemctl show -p ActiveState,SubState --value vehcan | tr "\n" " ")" = "active running " ]'
# The journal's line "can0 up at" comes before the unit became active.
up_at=$(journalctl -u vehcan -o short-monotonic -g 'can0 up at 500000' -q | head -1 |
        sed 's/^\[ *\([0-9.]*\)\].*/\1/')
active_us=$(systemctl show -p ActiveEnterTimestampMonotonic --value vehcan)
check "active only after the stack came up on can0" \
  sh -c "[ -n '$up_at' ] && echo '$up_at $active_us' | awk '{ exit !(\$1 * 1000000 <= \$2) }'"
# (the compact default: the first batch within a minute, a birth before it)
check "the broker receives the decoded vehicle (engine speed, from the compact batches)" \
  wait_for 150 eec1_after 0
check "the batches come under the VIN, no seq lost" \
  sh -c "grep -q '^vehcan/$vin/batch ' $sub_log && ! grep -q 'seq gap' /var/lib/rig-decode.err"
status_online() {
  json_topic 0 'vehcan/[^/]*/status' | grep -q '"bitrate":500000.*"status":"online".*"uplink":"compact"'
}
check "the retained status says online with the bus rate, compact uplink" status_online
check "the status line tells rate, messages and broker" \
  wait_for 15 sh -c "systemctl show -p StatusText --value vehcan |
    grep -Eq '^500 kbit/s, [1-9][0-9]* messages \\([0-9]+/s\\), broker connected$'"
check "the service runs as a user of its own with CAP_NET_ADMIN only" \
  sh -c "pid=\$(systemctl show -p MainPID --value vehcan);
         [ \"\$(stat -c %u /proc/\$pid)\" != 0 ] &&
         grep -q '^CapEff:.*0000000000001000$' /proc/\$pid/status"

# ---- security ---------------------------------------------------------------------------------
systemd-analyze security vehcan.service >"$share/security.txt" 2>&1
score=$(sed -n 's/.*Overall exposure level for vehcan.service: \([0-9.]*\).*/\1/p' "$share/security.txt")
echo "systemd-analyze security: exposure $score" | tee -a "$share/figures"
check "systemd-analyze security: exposure at most 2.5" \
  sh -c "[ -n '$score' ] && echo $score | awk '{ exit !(\$1 <= 2.5) }'"

# ---- reload -----------------------------------------------------------------------------------
write_conf "qos = 7"
pid=$(main_pid)
systemctl reload vehcan
check "a reload with a bad configuration is refused, logged as an error" \
  wait_for 10 sh -c "journalctl -u vehcan -p err -q | grep -q 'reload refused.*vehcan.conf:7: mqtt.qos must be from 0 to 1, not 7'"
write_conf 'topic_prefix = "fleet"'
before=$(size_of)
systemctl reload vehcan
check "a reload moves the uplink to the new topic prefix, same process" \
  wait_for 150 eval "log_after $before | grep -q '^fleet/$vin/batch '"
check "the reload kept the process" sh -c "[ $(main_pid) = $pid ]"
write_conf
systemctl reload vehcan
sleep 3

# ---- stop: offline within TimeoutStopSec ----------------------------------------------------------
before=$(size_of)
t0=$(monotonic_now)
systemctl stop vehcan
t1=$(monotonic_now)
echo "stop: $(echo "$t0 $t1" | awk '{printf "%.1f", $2 - $1}') s" | tee -a "$share/figures"
check "SIGTERM: stopped within 20 s, offline published" \
  eval "echo '$t0 $t1' | awk '{ exit !(\$2 - \$1 < 20) }' &&
        json_topic $before 'vehcan/$vin/status' | grep -q '\"status\":\"offline\"'"
check "SIGTERM: a clean exit, not a failure" \
  sh -c '[ "$(systemctl show -p Result --value vehcan)" = success ]'
systemctl start vehcan

# ---- a crash: restarted -----------------------------------------------------------------------------
broker_outage
pid=$(main_pid)
before=$(size_of)
kill -SEGV "$pid"
systemctl start mosquitto
check "kill -SEGV: systemd restarts the service" \
  wait_for 90 sh -c "p=\$(systemctl show -p MainPID --value vehcan); [ \"\$p\" != 0 ] && [ \"\$p\" != $pid ] && systemctl is-active --quiet vehcan"
check "kill -SEGV: counted as a restart" \
  sh -c '[ "$(systemctl show -p NRestarts --value vehcan)" -ge 1 ]'
check "kill -SEGV: the broker gets the vehicle again after the restart" \
  wait_for 150 eec1_after "$before"
check "kill -SEGV: what the spool held while the broker was down arrives" \
  wait_for 90 outage_arrived "$before" || explain "the crash" "$before"
echo "crash: $(cat "$share/outage.count") points of the outage ($(tr '\n' ' ' <"$share/outage")) delivered, the spool's batches until $(cat "$share/outage.until")" |
  tee -a "$share/figures"

# ---- the watchdog: a stopped process is killed and restarted ------------------------------------
pid=$(main_pid)
t0=$(monotonic_now)
kill -STOP "$pid"
check "SIGSTOP: the watchdog kills the service and systemd restarts it" \
  wait_for 90 sh -c "p=\$(systemctl show -p MainPID --value vehcan); [ \"\$p\" != 0 ] && [ \"\$p\" != $pid ] && systemctl is-active --quiet vehcan"
t1=$(monotonic_now)
echo "watchdog: stopped process replaced after $(echo "$t0 $t1" | awk '{printf "%.1f", $2 - $1}') s" |
  tee -a "$share/figures"
check "SIGSTOP: the journal names the watchdog" \
  sh -c "journalctl -u vehcan -q | grep -q 'Watchdog timeout'"

# ---- the uplink's CPU under a flood, json against compact ------------------------------------------
measure_uplink "amd64 systemd guest"
check "after the measurement the service is back" wait_for 60 systemctl is-active --quiet vehcan

# ---- the power cut ---------------------------------------------------------------------------------
broker_outage
cp "$sub_log" "$share/broker-boot1.log"
decoded_after 0 >"$share/decoded-boot1.jsonl" 2>/dev/null
journalctl -b -o short-monotonic >"$share/journal-boot1.log"
sync
size_of >"$share/sub-size"
date -u +%Y-%m-%dT%H:%M:%S >"$share/power-cut-at"
touch "$share/boot1.done"
sleep 2
touch "$share/power-cut"
sleep 600
