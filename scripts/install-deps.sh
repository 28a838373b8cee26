#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that the build, the tests and the rig need,
# only those that are missing. Package lists: scripts/deps.d/*.txt.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t wanted < <(cat "$here"/deps.d/*.txt | sed -e 's/#.*//' -e 's/[[:space:]]//g' | grep -v '^$' | sort -u)
missing=()
# A name without an architecture means the machine's own (or "all"): with
# libfoo-dev:armhf installed, dpkg-query libfoo-dev answers for that one.
native=$(dpkg --print-architecture)
for p in "${wanted[@]}"; do
  want_arch="${p#*:}"
  [ "$want_arch" = "$p" ] && want_arch=$native
  dpkg-query -W -f='${Status} ${Architecture}\n' "$p" 2>/dev/null |
    grep -q -E "install ok installed ($want_arch|all)\$" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#wanted[@]} packages present"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Packages of another architecture ("name:armhf", for the cross builds) need
# that architecture enabled before the package lists are read.
for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/^[^:]*:\(.*\)$/\1/p' | sort -u); do
  if ! dpkg --print-foreign-architectures | grep -cx "$arch" >/dev/null; then
    dpkg --add-architecture "$arch"
  fi
done
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
