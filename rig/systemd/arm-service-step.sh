#!/bin/sh
# SPDX-License-Identifier: MIT
# The vehcan service in the ARM systemd guest (an arm64 or an armhf root on
# the arm64 kernel), run by rig-step.service from /run/rig in one boot:
# installs the packages of the architecture, starts the service under its
# unit with every hardening line (the system-call filter of the root's own
# architecture: SystemCallArchitectures=native), and checks that it became
# ready after the bring-up on can0, runs under the filter, feeds the
# watchdog and publishes the decoded vehicle to the broker, a reload
# included. Then the same again with filtered system calls killing instead
# of failing with EPERM (a drop-in: SystemCallErrorNumber=kill), so that a
# call of this architecture that the filter lacks shows as SIGSYS rather
# than as a quiet error. No SIGSYS, in the journal or the kernel's audit
# lines. Each check prints "ok - NAME" or "not ok - NAME: why" and appends
# the same to /run/rig/results.
set -u
share=/run/rig
# shellcheck source=rig/systemd/checks.sh
. "$share/checks.sh"
arch=$(dpkg --print-architecture)
echo "rig: $arch user space on $(uname -m)"
: >"$results"

# running_since PID: the service is active and still the process PID.
running_since() { [ "$(main_pid)" = "$1" ] && systemctl is-active --quiet vehcan; }
# sigsys_free: neither systemd nor the kernel's audit lines report a
# process of the service's killed by SIGSYS (seccomp's kill: type=1326,
# sig=31) in this boot.
sigsys_free() {
  ! journalctl -b -u vehcan -q | grep -q -E 'status=31/SYS|SIGSYS' &&
    ! { journalctl -b -q; dmesg; } | grep 'type=1326' | grep -q 'sig=31'
}
# fed_without_restart SINCE_US: a WATCHDOG=1 reached systemd after SINCE_US
# (its monotonic clock, microseconds), and systemd never restarted the
# service.
fed_without_restart() {
  [ "$(systemctl show -p WatchdogTimestampMonotonic --value vehcan)" -gt "$1" ] &&
    [ "$(systemctl show -p NRestarts --value vehcan)" = 0 ]
}
now_us() { monotonic_now | awk '{ printf "%d", $1 * 1000000 }'; }

# exercise LABEL: the service as it runs now, through a reload and two
# watchdog periods.
exercise() {
  label=$1
  pid=$(main_pid)
  check "$label: active and running under its system-call filter (Seccomp: 2, NoNewPrivs: 1)" \
    sh -c "grep -q '^Seccomp:[[:space:]]*2' /proc/$pid/status && grep -q '^NoNewPrivs:[[:space:]]*1' /proc/$pid/status"
  before=$(size_of)
  check "$label: the broker receives the decoded vehicle (engine speed, compact batches)" \
    wait_for 240 eec1_after "$before"
  # The uplink's settings read again (SIGHUP): a new connection to the broker.
  before=$(size_of)
  systemctl reload vehcan
  check "$label: after a reload the broker still receives it" wait_for 240 eec1_after "$before"
  # Two watchdog periods (WatchdogSec=20): fed, never restarted.
  since=$(now_us)
  sleep 45
  check "$label: the watchdog is fed (WATCHDOG=1 in the last 45 s), no restart" \
    fed_without_restart "$since"
  check "$label: the same process throughout" running_since "$pid"
  check "$label: no SIGSYS in the journal or the kernel's audit lines" sigsys_free
}

# ---- install ----------------------------------------------------------------------------------
check "the $arch packages install with dpkg" sh -c "dpkg -i $share/debs/*.deb >$share/dpkg.log 2>&1"
check "the service is installed disabled" \
  sh -c '[ "$(systemctl is-enabled vehcan 2>&1)" = disabled ]'
check "the unit is the packaged one, every hardening line in force" \
  sh -c '[ "$(systemctl show -p SystemCallArchitectures --value vehcan)" = native ] &&
    [ -n "$(systemctl show -p SystemCallFilter --value vehcan)" ] &&
    [ "$(systemctl show -p NoNewPrivileges --value vehcan)" = yes ]'
write_conf
start_truck
subscribe

# ---- the unit as shipped ---------------------------------------------------------------------------
t0=$(monotonic_now)
check "systemctl enable --now vehcan returns once it is ready (READY=1)" \
  systemctl enable --now --quiet vehcan
t1=$(monotonic_now)
echo "$arch: start-to-ready $(echo "$t0 $t1" | awk '{printf "%.1f", $2 - $1}') s" | tee -a "$share/figures"
exercise "$arch, as shipped"

# ---- filtered calls kill ---------------------------------------------------------------------------
shipped_errno=$(systemctl show -p SystemCallErrorNumber --value vehcan)
mkdir -p /etc/systemd/system/vehcan.service.d
printf '[Service]\nSystemCallErrorNumber=kill\n' >/etc/systemd/system/vehcan.service.d/kill.conf
systemctl daemon-reload
check "the drop-in takes effect (SystemCallErrorNumber $shipped_errno becomes kill)" \
  sh -c "[ \"\$(systemctl show -p SystemCallErrorNumber --value vehcan)\" != '$shipped_errno' ]"
check "with SystemCallErrorNumber=kill: restarted and ready" systemctl restart vehcan
exercise "$arch, filtered calls kill"
rm -rf /etc/systemd/system/vehcan.service.d
systemctl daemon-reload

measure_uplink "$arch systemd guest"

systemd-analyze security vehcan.service >"$share/security.txt" 2>&1
sed -n 's/.*Overall exposure level for vehcan.service: \([0-9.]*\).*/systemd-analyze security: exposure \1/p' \
  "$share/security.txt" | sed "s/^/$arch: /" | tee -a "$share/figures"
journalctl -b -o short-monotonic >"$share/journal.log"
{ journalctl -b -q; dmesg; } | grep 'type=1326' >"$share/audit.log" || true
touch "$share/boot1.done"
systemctl poweroff
