#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Packaging: install the build, then build and run a host project against it,
# once through the CMake package and once through pkg-config.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${VEHCAN_BUILD_DIR:-$top/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" >/dev/null
# lib/<multiarch triplet> (or lib in a tree configured before the multiarch move)
libdir=$(dirname "$(find "$work/prefix" -name libvehcan.so -print -quit)")
cmake -S "$top/tests/consumer" -B "$work/consumer" -G Ninja \
      -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer" >/dev/null
LD_LIBRARY_PATH="$libdir" "$work/consumer/consumer"

export PKG_CONFIG_PATH="$libdir/pkgconfig"
# shellcheck disable=SC2046
cc -std=c11 -o "$work/consumer-pc" "$top/tests/consumer/main.c" $(pkg-config --cflags --libs vehcan)
LD_LIBRARY_PATH="$libdir" "$work/consumer-pc"
test -x "$work/prefix/bin/pgnparse"
echo "install: CMake package and pkg-config consumers built and ran"
