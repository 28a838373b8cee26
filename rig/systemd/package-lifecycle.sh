# SPDX-License-Identifier: MIT
# shellcheck shell=sh
# The packages' life on the gateway, after the service's own checks
# (rig/systemd/service-step.sh, boot 2; sourced from /run/rig with
# checks.sh): the administrator has enabled the service and edited
# /etc/vehcan/vehcan.conf; then an upgrade to the second version of the
# packages ($share/debs-next), a removal, a purge and a fresh install
# ($share/debs). Checked each time: the unit's state, the conffile, the
# state directory (/var/lib/vehcan, DynamicUser's /var/lib/private/vehcan)
# and the libraries in ld.so's cache (dpkg's ldconfig trigger).

conf=/etc/vehcan/vehcan.conf
state=/var/lib/private/vehcan
enable_link=/etc/systemd/system/multi-user.target.wants/vehcan.service

# dpkg_step NAME ARGS...: dpkg ARGS, its output kept in $share/dpkg.log.
dpkg_step() {
  name=$1; shift
  echo "---- dpkg $*" >>"$share/dpkg.log"
  check "$name" sh -c "dpkg $* >>$share/dpkg.log 2>&1"
}
version_of() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null; }
in_ld_cache() { ldconfig -p | grep -q "^[[:space:]]*$1 "; }
libraries_cached() { in_ld_cache libvehcan.so.0 && in_ld_cache libvehcan-db.so.0; }
libraries_gone() { ! in_ld_cache libvehcan.so.0 && ! in_ld_cache libvehcan-db.so.0; }
# vehcan.conf is the packaged one, as the first version's .deb holds it.
conf_is_packaged() {
  dpkg-deb --fsys-tarfile "$(ls "$share"/debs/vehcan_*.deb)" | tar -xO ./etc/vehcan/vehcan.conf |
    cmp -s - "$conf"
}

package_lifecycle() {
  edited=$(md5sum <"$conf")
  pid=$(main_pid)
  next=$(dpkg-deb -f "$(ls "$share"/debs-next/vehcan_*.deb)" Version)

  # ---- upgrade: the administrator's choices hold -------------------------------------------
  dpkg_step "upgrade: the second version installs over the first" -i "$share"/debs-next/*.deb
  check "upgrade: vehcan, libvehcan0 and libvehcan-db0 are at $next" \
    sh -c "[ '$(version_of vehcan) $(version_of libvehcan0) $(version_of libvehcan-db0)' = '$next $next $next' ]"
  check "upgrade: the administrator's enable is kept" \
    sh -c '[ "$(systemctl is-enabled vehcan 2>&1)" = enabled ]'
  check "upgrade: the administrator's edit of vehcan.conf is kept, without a prompt" \
    sh -c "[ '$(md5sum <"$conf")' = '$edited' ] && [ ! -e $conf.dpkg-new ] && [ ! -e $conf.dpkg-dist ]"
  check "upgrade: the running service is restarted with the new program" \
    wait_for 120 sh -c "p=\$(systemctl show -p MainPID --value vehcan); [ \"\$p\" != 0 ] &&
      [ \"\$p\" != $pid ] && systemctl is-active --quiet vehcan"

  # ---- remove: the service stops, the configuration and the spool stay -----------------------
  # The spool's files, less SQLite's -wal and -shm, which a clean stop folds in.
  spool_files=$(ls "$state" 2>/dev/null | grep -v -e '-wal$' -e '-shm$' | tr '\n' ' ')
  dpkg_step "remove: dpkg -r vehcan" -r vehcan
  check "remove: the service is stopped and its unit gone" \
    sh -c '! systemctl is-active --quiet vehcan && [ ! -e /usr/lib/systemd/system/vehcan.service ]'
  check "remove: the left enable starts nothing (the unit is masked)" \
    sh -c '[ "$(systemctl is-enabled vehcan 2>&1)" = masked ]'
  check "remove: vehcan.conf is kept, with the administrator's edit" \
    sh -c "[ '$(md5sum <"$conf" 2>/dev/null)' = '$edited' ]"
  check "remove: the state directory is kept, with the spool ($spool_files)" \
    sh -c "[ -n '$spool_files' ] && cd $state && ls $spool_files >/dev/null"

  # ---- purge: nothing is left ---------------------------------------------------------------
  dpkg_step "purge: dpkg -P vehcan libvehcan0 libvehcan-db0" -P vehcan libvehcan0 libvehcan-db0
  check "purge: vehcan.conf and /etc/vehcan are gone" sh -c "[ ! -e /etc/vehcan ]"
  check "purge: the state directory is gone" \
    sh -c "[ ! -e $state ] && [ ! -L /var/lib/vehcan ] && [ ! -e /var/lib/vehcan ]"
  check "purge: the enable, the mask and the helper's record are gone" \
    sh -c "[ ! -e $enable_link ] && [ ! -L $enable_link ] && [ ! -L /etc/systemd/system/vehcan.service ] &&
      ! deb-systemd-helper debian-installed vehcan.service"
  check "purge: the libraries are out of ld.so's cache (ldconfig trigger)" libraries_gone

  # ---- install again: as on a new gateway ----------------------------------------------------
  dpkg_step "a fresh install after the purge" -i "$share"/debs/*.deb
  check "install: the service is disabled and not running" \
    sh -c '[ "$(systemctl is-enabled vehcan 2>&1)" = disabled ] && ! systemctl is-active --quiet vehcan'
  check "install: vehcan.conf is the packaged one" conf_is_packaged
  check "install: the libraries are in ld.so's cache (ldconfig trigger)" libraries_cached
  check "install: man vehcan and man vehcan.conf show the installed pages" \
    sh -c "man -P cat vehcan 2>/dev/null | grep -q '^EXIT STATUS' &&
      man -P cat 5 vehcan.conf 2>/dev/null | grep -q '^\[mqtt\]'"
}
