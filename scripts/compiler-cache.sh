# SPDX-License-Identifier: MIT
# Sourced by the build scripts: when ccache is installed, every build of the
# tree (native, sanitizers, cross, fuzz) compiles through it, and a second
# run, in this checkout or a fresh clone elsewhere, compiles nothing again.
#
# Sets cache_launcher to the CMake options that name it (empty without
# ccache). The cache lives outside the tree, beside the sysroots:
# $CCACHE_DIR, default /var/cache/vehcan/ccache. Paths under the checkout
# are hashed relative to it, so clones in other directories share entries.
# shellcheck shell=bash
cache_launcher=()
if command -v ccache >/dev/null 2>&1 && [ "${VEHCAN_CCACHE:-1}" != 0 ]; then
  export CCACHE_DIR=${CCACHE_DIR:-/var/cache/vehcan/ccache}
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
  export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
  export CCACHE_MAXSIZE=${CCACHE_MAXSIZE:-8G}
  mkdir -p "$CCACHE_DIR"
  cache_launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
