#!/bin/sh
# SPDX-License-Identifier: MIT
# The vehcan service in the systemd-booted guest, run by rig-step.service at
# each boot from /run/rig (the host's share). Boot 1 installs the packages,
# configures and starts the service and checks it (readiness after bring-up,
# the broker, status, reload, stop, a crash in a broker outage, the
# watchdog, the security score), then cuts the power in another outage;
# boot 2 checks that the service came back and delivers what its spool
# held. Each check prints "ok - NAME" or "not ok - NAME: why" and appends
# the same to /run/rig/results.
set -u
share=/run/rig
results=$share/results
sub_log=/var/lib/rig-sub.log
vin=1HTMKAAN0CH123456

ok() { echo "ok - $1" | tee -a "$results"; }
not_ok() { echo "not ok - $1: $2" | tee -a "$results"; }
# check NAME COMMAND...: ok when COMMAND succeeds; fails with it.
check() {
  name=$1; shift
  if "$@"; then ok "$name"; else not_ok "$name" "$*"; return 1; fi
}
main_pid() { systemctl show -p MainPID --value vehcan; }
monotonic_now() { cut -d' ' -f1 /proc/uptime; }
# log_after OFFSET: the subscriber's log after byte OFFSET.
log_after() { tail -c +$(($1 + 1)) "$sub_log" 2>/dev/null; }
# The "timestamp" of each message line on standard input.
stamps() { sed -n 's/.*"timestamp":"\([^"]*\)".*/\1/p'; }
# wait_for SECONDS COMMAND...: until COMMAND succeeds, at most SECONDS of
# the clock (not of tries: on a slow host one try can take seconds).
wait_for() {
  deadline=$(monotonic_now | awk -v s="$1" '{ printf "%d", $1 + s }'); shift
  while :; do
    if "$@"; then return 0; fi
    [ "$(monotonic_now | cut -d. -f1)" -lt "$deadline" ] || return 1
    sleep 0.5
  done
}
# What a failed check leaves for the reader of the console: the service's
# journal of this boot and the last boot, and the broker's.
explain() {
  echo "---- vehcan's journal, $1"
  journalctl -b -1 -u vehcan -q -o short-monotonic 2>/dev/null | grep -v 'PGN VAL' | tail -n 15
  journalctl -b -u vehcan -q -o short-monotonic | grep -v 'PGN VAL' | tail -n 25
  echo "---- mosquitto's log"
  tail -n 15 /var/log/mosquitto/mosquitto.log 2>/dev/null
  echo "---- the subscriber's log, lines after the check began: $(log_after "$2" | wc -l)"
  log_after "$2" | grep "^vehcan/$vin/61444 " 2>/dev/null | head -n 3 | cut -c1-200
}
# EEC1 messages from the engine on the broker, decoded, in the subscriber's
# log after byte offset $1 (and stamped after $2, an RFC 3339 time, if given).
eec1_after() {
  log_after "$1" | grep "^vehcan/$vin/61444 {\"acronym\":\"EEC1\".*\"spn\":190," |
    stamps | awk -v t="${2:-}" '$0 > t { f = 1; exit } END { exit !f }'
}
size_of() { stat -c %s "$sub_log" 2>/dev/null || echo 0; }
# The subscriber: a unit of its own, enabled, started before the service
# at every boot and restarted whenever the broker drops it. It counts as
# started once its subscription is in place (a message of its own came
# back, or 20 s passed), so that at boot it hears everything the service
# delivers from its spool. Its session on the broker (QoS 1, not clean)
# covers the moments it is away.
subscribe() {
  cat >/usr/local/bin/rig-sub-ready <<SCRIPT
#!/bin/sh
mark="up \$(date +%s.%N)"
for i in \$(seq 40); do
  mosquitto_pub -q 1 -t rig/sub/status -m "\$mark" 2>/dev/null
  sleep 0.5
  grep -q "^rig/sub/status \$mark\$" $sub_log && exit 0
done
SCRIPT
  chmod +x /usr/local/bin/rig-sub-ready
  cat >/etc/systemd/system/rig-sub.service <<UNIT
[Unit]
Description=the rig's subscriber
After=mosquitto.service
Before=vehcan.service
StartLimitIntervalSec=0
[Service]
ExecStart=/bin/sh -c "exec stdbuf -oL mosquitto_sub -c -i rig-sub -q 1 -v -t '+/+/61444' -t '+/+/status' >>$sub_log"
ExecStartPost=-/usr/local/bin/rig-sub-ready
Restart=always
RestartSec=0.5
[Install]
WantedBy=multi-user.target
UNIT
  systemctl daemon-reload
  systemctl enable --now --quiet rig-sub
}
# An outage of the broker: stops it for 6 s of traffic and writes the
# window's first and last second (UTC) to $share/outage.
broker_outage() {
  systemctl stop mosquitto
  date -u +%Y-%m-%dT%H:%M:%S >"$share/outage"
  sleep 6
  date -u +%Y-%m-%dT%H:%M:%S >>"$share/outage"
}
# outage_arrived OFFSET: at least 100 EEC1 messages stamped inside the
# window of $share/outage (the engine sends 50 a second) are in the log
# after byte OFFSET: what the spool held reached the broker.
outage_arrived() {
  from=$(sed -n 1p "$share/outage"); to=$(sed -n 2p "$share/outage")
  n=$(log_after "$1" | grep "^vehcan/$vin/61444 " | stamps |
      awk -v from="$from" -v to="$to" '$0 > from && $0 < to' | sort -u | wc -l)
  echo "$n" >"$share/outage.count"
  [ "$n" -ge 100 ]
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
    wait_for 60 eec1_after "$before" "$(cat "$share/power-cut-at")"
  journalctl -b -u vehcan -q | sed -n 's/.*\(spool: [0-9]* messages of an earlier run\).*/power cut: \1/p' |
    tee -a "$share/figures"
  check "after the power cut: what the spool held during the outage before it arrives" \
    wait_for 90 outage_arrived "$before" || explain "the power cut" "$before"
  echo "power cut: $(cat "$share/outage.count") EEC1 of the outage before it delivered" |
    tee -a "$share/figures"
  check "after the power cut: the journal of the lost boot is readable" \
    sh -c "journalctl -b -1 -u vehcan -q | grep -q 'can0 up at'"
  cp "$sub_log" "$share/broker-boot2.log"
  cp /var/log/mosquitto/mosquitto.log "$share/mosquitto.log"
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

# write_conf [EXTRA MQTT LINES...]: the service's configuration; [mqtt]
# is on line 4, so its third key is on line 7.
write_conf() {
  {
    printf '[monitor]\ndb = "/usr/share/vehcan/sample.xml"\nquiet = true\n'
    printf '[mqtt]\nurl = "mqtt://127.0.0.1:1883"\nvehicle = "rig-gateway"\n'
    for line in "$@"; do echo "$line"; done
    printf '[spool]\ndir = "/var/lib/vehcan"\n'
    # the checks read the per-message JSON topics
    printf '[collection]\nuplink = "json"\n'
  } >/etc/vehcan/vehcan.conf
}
write_conf

# The truck: powered with the gateway, on can1, sending while can0 listens
# at its 500 kbit/s.
cat >/etc/systemd/system/rig-truck.service <<'UNIT'
[Unit]
Description=simulated truck on can1
Before=vehcan.service
[Service]
ExecStartPre=-/sbin/ip link set can1 down
ExecStartPre=/sbin/ip link set can1 up type can bitrate 500000
ExecStart=/usr/bin/vehcan-sim -i can1 -w can0 -r 500000 --drive --quiet
[Install]
WantedBy=multi-user.target
UNIT
systemctl daemon-reload
systemctl enable --now --quiet rig-truck
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
check "the broker receives the decoded vehicle (EEC1 under the VIN)" wait_for 60 eec1_after 0
check "the retained status says online with the bus rate" \
  sh -c "grep -q '^vehcan/.*/status {.*\"bitrate\":500000.*\"status\":\"online\"' $sub_log"
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
  wait_for 30 eval "log_after $before | grep -q '^fleet/$vin/61444 '"
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
        log_after $before | grep -q '^vehcan/$vin/status {.*\"status\":\"offline\"'"
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
  wait_for 60 eec1_after "$before"
check "kill -SEGV: what the spool held while the broker was down arrives" \
  wait_for 90 outage_arrived "$before" || explain "the crash" "$before"
echo "crash: $(cat "$share/outage.count") EEC1 of the outage before it delivered" |
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

# ---- the power cut ---------------------------------------------------------------------------------
broker_outage
cp "$sub_log" "$share/broker-boot1.log"
journalctl -b -o short-monotonic >"$share/journal-boot1.log"
sync
size_of >"$share/sub-size"
date -u +%Y-%m-%dT%H:%M:%S >"$share/power-cut-at"
touch "$share/boot1.done"
sleep 2
touch "$share/power-cut"
sleep 600
