#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that one purpose needs, only those that are
# missing, and only of the build machine's own architecture:
#
#   scripts/install-deps.sh demo          the native build and the x86 rig
#   scripts/install-deps.sh test          everything the test command runs
#   scripts/install-deps.sh rig|rig-arm   the rig's host side (x86, ARM guest)
#   scripts/install-deps.sh cross ARCH    a cross build for armhf or arm64
#   scripts/install-deps.sh --list PURPOSE...   prints the packages, one a line
#
# Package lists: scripts/deps.d/*.txt. A list names the purposes it serves
# in a line "# for: demo test ..."; a list without one serves demo and test.
# The target architectures' libraries are never installed here: they live in
# per-architecture sysroots (scripts/sysroot.sh reads the "sysroot" list,
# rig/target-root.sh the "rig-target" one), so nothing depends on another
# architecture's archive being in step with the build machine's.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
deps_dir=${VEHCAN_DEPS_DIR:-$here/deps.d}

usage() {
  echo "usage: scripts/install-deps.sh demo|test|rig|rig-arm|cross ARCH|--list PURPOSE..." >&2
  exit 2
}

# The packages of the lists that serve any of the given purposes.
packages_for() {
  local list purposes
  for list in "$deps_dir"/*.txt; do
    [ -e "$list" ] || continue
    purposes=$(sed -n 's/^#[[:space:]]*for:[[:space:]]*//p' "$list" | head -1)
    [ -n "$purposes" ] || purposes="demo test"
    local p want hit=0
    for want in "$@"; do
      for p in $purposes; do
        [ "$p" = "$want" ] && hit=1
      done
    done
    [ "$hit" = 1 ] || continue
    sed -e 's/#.*//' -e 's/[[:space:]]//g' "$list" | grep -v '^$' || true
  done | sort -u
}

[ $# -ge 1 ] || usage
case "$1" in
  --list)
    shift
    [ $# -ge 1 ] || usage
    packages_for "$@"
    exit 0
    ;;
  demo | test | rig | rig-arm) purposes=("$1") ;;
  cross)
    case "${2:-}" in
      armhf | arm64) purposes=(cross "cross-$2") ;;
      *) usage ;;
    esac
    ;;
  *) usage ;;
esac

mapfile -t wanted < <(packages_for "${purposes[@]}")
if [ ${#wanted[@]} -eq 0 ]; then
  echo "install-deps: no package list serves ${purposes[*]} in $deps_dir" >&2
  exit 1
fi
missing=()
native=$(dpkg --print-architecture)
for p in "${wanted[@]}"; do
  case "$p" in
    *:*)
      echo "install-deps: $p: lists name the build machine's packages only" >&2
      exit 1
      ;;
  esac
  dpkg-query -W -f='${Status} ${Architecture}\n' "$p" 2>/dev/null |
    grep -q -E "install ok installed ($native|all)\$" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all ${#wanted[@]} packages for ${purposes[*]} present"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing packages (run as root to install): ${missing[*]}" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A mirror in the middle of a sync answers with an index of the wrong size:
# apt retries each download; if an index still fails, one line names it and
# the install goes on with the indexes that came (a missing one usually
# only holds updates).
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! apt-get update -qq -o Acquire::Retries=3 >"$log" 2>&1 ||
   grep -q '^[WE]: Failed to fetch' "$log"; then
  failed=$(sed -n 's/^[WE]: Failed to fetch \([^ ]*\) *\(.*\)$/\1 (\2)/p' "$log" | head -1)
  [ -n "$failed" ] || failed=$(grep -m1 '^E:' "$log" || echo "exit status without a message")
  echo "install-deps: apt-get update failed: $failed" >&2
fi
apt-get install -y -qq -o Acquire::Retries=3 --no-install-recommends "${missing[@]}"
