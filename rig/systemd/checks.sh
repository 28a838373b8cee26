# SPDX-License-Identifier: MIT
# shellcheck shell=sh
# What the systemd guest's step scripts share (rig/systemd/service-step.sh
# on x86, rig/systemd/arm-service-step.sh on ARM); sourced from /run/rig,
# the host's share: the checks' reporting, bounded waits, the subscriber
# that logs what reaches the broker, its decoder, the configuration, the
# truck and the uplink's CPU under a flood.
share=/run/rig
results=$share/results
sub_log=/var/lib/rig-sub.log
# shellcheck disable=SC2034 # (the truck's VIN: the step scripts name its topics)
vin=1HTMKAAN0CH123456

ok() { echo "ok - $1" | tee -a "$results"; }
not_ok() { echo "not ok - $1: $2" | tee -a "$results"; }
# check NAME COMMAND...: ok when COMMAND succeeds; fails with it.
check() {
  name=$1; shift
  if "$@"; then ok "$name"; else not_ok "$name" "$*"; return 1; fi
}
# The compact uplink's payloads as the subscriber logged them ("TOPIC HEX"
# lines), decoded by the build's fleet_payload_lines (in the share): one
# JSON line per point, births and batches in the order they came.
decoder=$share/fleet_payload_lines
main_pid() { systemctl show -p MainPID --value vehcan; }
monotonic_now() { cut -d' ' -f1 /proc/uptime; }
# log_after OFFSET: the subscriber's log after byte OFFSET.
log_after() { tail -c +$(($1 + 1)) "$sub_log" 2>/dev/null; }
# decoded_after OFFSET: the points of the batches logged after byte OFFSET,
# decoded with every birth of the log (a birth is retained, and sent again
# at each connection: the batches' one came before them). The decoder's
# messages and summary: in /var/lib/rig-decode.last, and added to
# /var/lib/rig-decode.err.
decoded_after() {
  { grep -a '^[^ ]*/birth [0-9a-f]' "$sub_log"; log_after "$1" | grep -a '^[^ ]*/batch '; } |
    "$decoder" 2>/var/lib/rig-decode.last
  cat /var/lib/rig-decode.last >>/var/lib/rig-decode.err
}
# json_topic OFFSET TOPIC_REGEX: the JSON payloads (status, dm1) logged
# after byte OFFSET on the topics that match, "TOPIC PAYLOAD" per line.
json_topic() {
  log_after "$1" | grep -a -E "^$2 " |
    perl -ne 'print "$1 ", pack("H*", $2), "\n" if /^(\S+) ([0-9a-fA-F]*)$/'
}
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
  log_after "$2" | cut -c1-100 | tail -n 5
  echo "---- decoded after it: $(decoded_after "$2" | wc -l) points"
  tail -n 5 /var/lib/rig-decode.err 2>/dev/null
}
# The engine's speed (EEC1, SPN 190) at the broker, decoded from the compact
# batches logged after byte offset $1 (and stamped after $2, an RFC 3339
# time, if given), live: a historical point (from the spool of an earlier
# run or connection) does not count.
eec1_after() {
  decoded_after "$1" | grep '"pgn":61444,"spn":190,' | grep -v '"historical":true' |
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
  grep -q "^rig/sub/status \$(printf %s "\$mark" | od -An -tx1 | tr -d ' \\n')\$" $sub_log && exit 0
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
ExecStart=/bin/sh -c "exec stdbuf -oL mosquitto_sub -c -i rig-sub -q 1 -F '%%t %%x' -t '+/+/birth' -t '+/+/batch' -t '+/+/status' -t '+/+/dm1' -t rig/sub/status >>$sub_log"
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

# write_conf [EXTRA MQTT LINES...]: the service's configuration; [mqtt]
# is on line 4, so its third key is on line 7.
write_conf() {
  {
    printf '[monitor]\ndb = "/usr/share/vehcan/sample.xml"\nquiet = true\n'
    printf '[mqtt]\nurl = "mqtt://127.0.0.1:1883"\nvehicle = "rig-gateway"\n'
    for line in "$@"; do echo "$line"; done
    printf '[spool]\ndir = "/var/lib/vehcan"\n'
    # (the collection as shipped: the compact uplink, a batch a minute)
  } >/etc/vehcan/vehcan.conf
}

# start_truck: the truck, powered with the gateway, on can1, sending while
# can0 listens at its 500 kbit/s; a unit of its own, enabled.
start_truck() {
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
}

# measure_uplink LABEL: the CPU of `vehcan monitor --mqtt` under the truck's
# flood (vehcan-sim --flood), with --uplink json and with the compact
# uplink, one after the other, each for 20 s after its bring-up, the broker
# on the guest's loopback; the service and the truck stopped meanwhile.
# Appends one figure line per run to $share/figures.
measure_uplink() {
  systemctl stop vehcan rig-truck
  ip link set can1 up type can bitrate 500000 2>/dev/null
  for uplink in json compact; do
    vehcan-sim -i can1 -w can0 -r 500000 --flood 60 --quiet &
    flood=$!
    out=$(bash -c 'TIMEFORMAT="%R %U %S"; { time vehcan monitor --quiet --duration 20 --vehicle measure \
      --uplink "$1" --mqtt mqtt://127.0.0.1:1883 2>/tmp/measure.err >/dev/null; } 2>&1' _ "$uplink")
    kill "$flood"; wait "$flood" 2>/dev/null
    taken=$(sed -n 's/^monitor ended.* \([0-9][0-9]*\) messages.*/\1/p' /tmp/measure.err | head -1)
    sent=$(sed -n -E 's/^mqtt: ([0-9]+) messages delivered.*/\1/p' /tmp/measure.err)
    echo "$out" | awk -v l="$1" -v u="$uplink" -v t="${taken:-?}" -v s="${sent:-?}" \
      '{ printf "%s: flood, monitor --mqtt --uplink %-7s CPU %.2f s of %.1f s (%.1f %%), %s taken off the stack, %s published\n",
         l, u, $2 + $3, $1, 100 * ($2 + $3) / $1, t, s }' | tee -a "$share/figures"
    grep -E '^(monitor ended|mqtt: )' /tmp/measure.err | sed 's/^/    /'
  done
  systemctl start rig-truck vehcan
}
