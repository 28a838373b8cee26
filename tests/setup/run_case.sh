#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The build machine's setup scripts (scripts/install-deps.sh,
# scripts/debian-root.sh), one case a run, each in a scratch directory:
#
#   tests/setup/run_case.sh SOURCE_DIR CASE
#
# Exit status 0 when the case passed; a failure says what differed.
set -euo pipefail
src=$1
case_name=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

failed=0
# expect WHAT WANT GOT
expect() {
  if [ "$2" != "$3" ]; then
    printf 'FAIL %s\n--- want\n%s\n--- got\n%s\n' "$1" "$2" "$3"
    failed=1
  fi
}

# ---- install-deps.sh: which lists serve a purpose -------------------------------------------
lists_by_purpose() {
  local d=$scratch/deps.d
  mkdir -p "$d"
  printf '# the build\n# for: demo test\nbuild-one\nbuild-two # why\n' >"$d/00-build.txt"
  printf '# no purpose line: demo and test\nplain-dev\n' >"$d/10-plain.txt"
  printf '# for: test\ntest-only\n' >"$d/20-test.txt"
  printf '# for: cross test\ncross-common\nbuild-one\n' >"$d/30-cross.txt"
  printf '# for: cross-armhf test\ng++-arm\n' >"$d/31-armhf.txt"
  printf '# for: cross-arm64 test\ng++-aarch64\n' >"$d/32-arm64.txt"
  printf '# for: sysroot\nlibtarget-dev\n' >"$d/90-sysroot.txt"
  local run=(env VEHCAN_DEPS_DIR="$d" bash "$src/scripts/install-deps.sh")
  expect "demo" "$(printf '%s\n' build-one build-two plain-dev)" "$("${run[@]}" --list demo)"
  expect "test" "$(printf '%s\n' build-one build-two cross-common g++-aarch64 g++-arm plain-dev test-only)" \
    "$("${run[@]}" --list test)"
  expect "cross armhf" "$(printf '%s\n' build-one cross-common g++-arm)" \
    "$("${run[@]}" --list cross cross-armhf)"
  expect "sysroot" "libtarget-dev" "$("${run[@]}" --list sysroot)"
  expect "unknown purpose" "" "$("${run[@]}" --list nobody)"
  local status=0
  "${run[@]}" cross mips >/dev/null 2>&1 || status=$?
  expect "cross of an unknown architecture" 2 "$status"
  # A list may not name another architecture's package: those belong in a sysroot.
  printf '# for: demo\nlibfoo-dev:armhf\n' >"$d/40-foreign.txt"
  status=0
  local out
  out=$("${run[@]}" demo 2>&1) || status=$?
  expect "a foreign package refused" "1 install-deps: libfoo-dev:armhf: lists name the build machine's packages only" \
    "$status $out"
}

# ---- install-deps.sh: a failed index named on one line ---------------------------------------
failed_index_named() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: installing needs root"
    exit 77
  fi
  local d=$scratch/deps.d bin=$scratch/bin
  mkdir -p "$d" "$bin"
  printf '# for: demo\nvehcan-no-such-package\n' >"$d/00.txt"
  # apt-get as a mirror in the middle of a sync answers it; the install
  # itself goes on and is recorded.
  cat >"$bin/apt-get" <<'FAKE'
#!/bin/sh
echo "apt-get $*" >>"$APT_LOG"
case " $* " in
  *" update "*)
    echo "Get:1 http://deb.debian.org/debian bookworm InRelease"
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-amd64/Packages.xz  File has unexpected size (359552 != 360800). Mirror sync in progress? [IP: 1.2.3.4 80]"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100 ;;
esac
exit 0
FAKE
  chmod +x "$bin/apt-get"
  local out status=0
  out=$(env PATH="$bin:$PATH" APT_LOG="$scratch/apt.log" VEHCAN_DEPS_DIR="$d" \
    bash "$src/scripts/install-deps.sh" demo 2>&1 >/dev/null) || status=$?
  expect "status" 0 "$status"
  expect "the one line" "install-deps: apt-get update failed: http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-amd64/Packages.xz (File has unexpected size (359552 != 360800). Mirror sync in progress? [IP: 1.2.3.4 80])" "$out"
  expect "apt-get calls" "$(printf '%s\n' "apt-get update -qq -o Acquire::Retries=3" \
    "apt-get install -y -qq -o Acquire::Retries=3 --no-install-recommends vehcan-no-such-package")" \
    "$(cat "$scratch/apt.log")"
}

# ---- debian-root.sh: the machine's Debian sources --------------------------------------------
machine_sources() {
  local etc=$scratch/apt
  mkdir -p "$etc/sources.list.d"
  cat >"$etc/sources.list.d/debian.sources" <<'SRC'
Types: deb
URIs: http://mirror.example.org/debian
Suites: bookworm bookworm-updates
Components: main contrib
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: http://src.example.org/debian
Suites: bookworm

Types: deb
URIs: http://security.example.org/debian-security
Suites: bookworm-security
Components: main
SRC
  cat >"$etc/sources.list.d/other.sources" <<'SRC'
Types: deb
URIs: https://packages.example.com/apt
Suites: cloud-sdk-bookworm
Components: main
SRC
  printf 'deb [arch=amd64] http://old.example.org/debian bookworm-backports main # late\n' >"$etc/sources.list"
  local got
  got=$(VEHCAN_APT_ETC=$etc bash -c '. "$1/scripts/debian-root.sh"; debian_sources; echo "mirror $(debian_mirror)"' sh "$src")
  expect "sources and mirror" "$(printf '%s\n' \
    "deb http://mirror.example.org/debian bookworm main contrib" \
    "deb http://mirror.example.org/debian bookworm-updates main contrib" \
    "deb http://security.example.org/debian-security bookworm-security main" \
    "deb  http://old.example.org/debian bookworm-backports main " \
    "mirror http://mirror.example.org/debian")" "$got"
  # One-line style only: the mirror of the main suite.
  rm "$etc"/sources.list.d/*.sources
  printf 'deb http://sec.example.org/x bookworm-security main\ndeb http://one.example.org/debian bookworm main\n' >"$etc/sources.list"
  got=$(VEHCAN_APT_ETC=$etc bash -c '. "$1/scripts/debian-root.sh"; debian_mirror' sh "$src")
  expect "one-line mirror" "http://one.example.org/debian" "$got"
}

# ---- debian-root.sh: absolute links made relative --------------------------------------------
relative_links_case() {
  local root=$scratch/root
  mkdir -p "$root/usr/lib/arm-linux-gnueabihf" "$root/etc/alternatives" "$root/usr/bin"
  ln -s /lib/arm-linux-gnueabihf/libz.so.1.2.13 "$root/usr/lib/arm-linux-gnueabihf/libz.so"
  ln -s /etc/alternatives/awk "$root/usr/bin/awk"
  ln -s /usr/bin/mawk "$root/etc/alternatives/awk"
  ln -s libfoo.so.1 "$root/usr/lib/arm-linux-gnueabihf/libfoo.so"
  bash -c '. "$1/scripts/debian-root.sh"; relative_links "$2"' sh "$src" "$root"
  expect "libz.so" "../../../lib/arm-linux-gnueabihf/libz.so.1.2.13" \
    "$(readlink "$root/usr/lib/arm-linux-gnueabihf/libz.so")"
  expect "awk" "../../etc/alternatives/awk" "$(readlink "$root/usr/bin/awk")"
  expect "alternative" "../../usr/bin/mawk" "$(readlink "$root/etc/alternatives/awk")"
  expect "relative link untouched" "libfoo.so.1" "$(readlink "$root/usr/lib/arm-linux-gnueabihf/libfoo.so")"
}

# ---- debian-root.sh: the sysroot's dpkg database ---------------------------------------------
# Two packages as Debian builds them: a Multi-Arch: same library with its
# shlibs and symbols files, and a -dev package that is not.
dpkg_database() {
  local debs=$scratch/debs pkg=$scratch/pkg sysroot=$scratch/sysroot
  mkdir -p "$debs" "$pkg/libdemo1/DEBIAN" "$pkg/libdemo1/usr/lib/arm-linux-gnueabihf" \
    "$pkg/libdemo-dev/DEBIAN" "$pkg/libdemo-dev/usr/include"
  printf 'ELF' >"$pkg/libdemo1/usr/lib/arm-linux-gnueabihf/libdemo.so.1.2.0"
  ln -s libdemo.so.1.2.0 "$pkg/libdemo1/usr/lib/arm-linux-gnueabihf/libdemo.so.1"
  cat >"$pkg/libdemo1/DEBIAN/control" <<'CTL'
Package: libdemo1
Version: 1.2.0-1
Architecture: armhf
Multi-Arch: same
Maintainer: Nobody <nobody@example.org>
Description: demo library
 A library for the test,
 over two lines.
CTL
  echo "libdemo 1 libdemo1 (>= 1.2.0)" >"$pkg/libdemo1/DEBIAN/shlibs"
  printf 'libdemo.so.1 libdemo1 #MINVER#\n demo_open@Base 1.1.0\n' >"$pkg/libdemo1/DEBIAN/symbols"
  cat >"$pkg/libdemo-dev/DEBIAN/control" <<'CTL'
Package: libdemo-dev
Version: 1.2.0-1
Architecture: armhf
Maintainer: Nobody <nobody@example.org>
Description: demo headers
CTL
  echo '#define DEMO 1' >"$pkg/libdemo-dev/usr/include/demo.h"
  dpkg-deb --root-owner-group -b "$pkg/libdemo1" "$debs/libdemo1.deb" >/dev/null
  dpkg-deb --root-owner-group -b "$pkg/libdemo-dev" "$debs/libdemo-dev.deb" >/dev/null
  bash -c '. "$1/scripts/debian-root.sh"; make_dpkg_database "$2" "$3/var/lib/dpkg" "$3"' \
    sh "$src" "$debs" "$sysroot"
  local q=(env DPKG_ADMINDIR="$sysroot/var/lib/dpkg" dpkg-query)
  expect "the library's package" \
    "libdemo1:armhf: $sysroot/usr/lib/arm-linux-gnueabihf/libdemo.so.1" \
    "$("${q[@]}" -S "$sysroot/usr/lib/arm-linux-gnueabihf/libdemo.so.1" 2>&1)"
  expect "the header's package" "libdemo-dev:armhf: $sysroot/usr/include/demo.h" \
    "$("${q[@]}" -S "$sysroot/usr/include/demo.h" 2>&1)"
  expect "symbols file" "$(cat "$pkg/libdemo1/DEBIAN/symbols")" \
    "$(cat "$("${q[@]}" --control-path libdemo1:armhf symbols)")"
  expect "shlibs file" "libdemo 1 libdemo1 (>= 1.2.0)" \
    "$(cat "$("${q[@]}" --control-path libdemo1:armhf shlibs)")"
  # shellcheck disable=SC2016 # dpkg-query's format, not the shell's
  expect "status" "libdemo-dev install ok installed 1.2.0-1 armhf
libdemo1 install ok installed 1.2.0-1 armhf" \
    "$("${q[@]}" -W -f '${Package} ${Status} ${Version} ${Architecture}\n' 2>&1 | sort)"
  expect "the file list holds files, not the root" "" \
    "$(grep -x -e "$sysroot" -e "$sysroot/" "$sysroot/var/lib/dpkg/info/libdemo1:armhf.list" || true)"
}

# ---- clang-tidy-cached.sh: clean sources are not analysed again ------------------------------
tidy_cache() {
  # A stand-in clang-tidy: counts its calls on sources and finds fault with
  # any source whose preprocessed text says FAULT.
  local calls=$scratch/calls
  cat >"$scratch/clang-tidy" <<EOS
#!/usr/bin/env bash
case "\$1" in --version) echo "stand-in tidy 1"; exit 0 ;; esac
echo "\${*: -1}" >>"$calls"
if grep -q FAULT "\${*: -1}" "$scratch"/*/inc/*.h 2>/dev/null && grep -q '#include "fault.h"' "\${*: -1}"; then
  echo "\${*: -1}:1:1: warning: a fault [stand-in]"
  exit 1
fi
exit 0
EOS
  chmod +x "$scratch/clang-tidy"
  make_tree() { # dir
    mkdir -p "$1/inc" "$1/build"
    git -C "$1" init -q
    printf 'int answer(void);\n' >"$1/inc/answer.h"
    printf 'int fault(void); /* FAULT */\n' >"$1/inc/fault.h"
    printf '#include "answer.h"\nint answer(void) { return 42; }\n' >"$1/a.c"
    printf '#include "fault.h"\nint fault(void) { return 0; }\n' >"$1/b.c"
    printf -- '---\nChecks: "-*,bugprone-*"\n' >"$1/.clang-tidy"
    printf '[{"directory":"%s/build","command":"cc -I%s/inc -o a.o -c %s/a.c","file":"%s/a.c"},
{"directory":"%s/build","command":"cc -I%s/inc -o b.o -c %s/b.c","file":"%s/b.c"}]\n' \
      "$1" "$1" "$1" "$1" "$1" "$1" "$1" "$1" >"$1/build/compile_commands.json"
  }
  local one=$scratch/one two=$scratch/two
  make_tree "$one"
  make_tree "$two"
  export VEHCAN_CLANG_TIDY=$scratch/clang-tidy VEHCAN_TIDY_CACHE=$scratch/cache
  local tidy=$src/scripts/clang-tidy-cached.sh
  count() { grep -c -x "$1" "$calls" || true; }

  "$tidy" --use-color -p="$one/build" "$one/a.c" 2>/dev/null
  local out status=0
  out=$("$tidy" --use-color -p="$one/build" "$one/a.c" 2>&1) || status=$?
  expect "clean source analysed once" "1" "$(count "$one/a.c")"
  expect "the second run says so" "0 clang-tidy-cached: clean before: $one/a.c" "$status $out"

  "$tidy" --use-color -p="$two/build" "$two/a.c" 2>/dev/null
  expect "a clone elsewhere reuses the result" "0" "$(count "$two/a.c")"

  "$tidy" --use-color -checks=-bugprone-foo -p="$one/build" "$one/a.c" 2>/dev/null
  expect "other options analyse again" "2" "$(count "$one/a.c")"

  printf 'int answer(void); // NOLINT\n' >"$one/inc/answer.h"
  "$tidy" --use-color -p="$one/build" "$one/a.c" 2>/dev/null
  expect "a header's changed comment analyses again" "3" "$(count "$one/a.c")"

  printf -- '---\nChecks: "-*,performance-*"\n' >"$one/.clang-tidy"
  "$tidy" --use-color -p="$one/build" "$one/a.c" 2>/dev/null
  expect "a changed configuration analyses again" "4" "$(count "$one/a.c")"

  for _ in 1 2; do
    status=0
    out=$("$tidy" --use-color -p="$one/build" "$one/b.c" 2>&1) || status=$?
  done
  expect "a finding shows every time" "2 1 $one/b.c:1:1: warning: a fault [stand-in]" \
    "$(count "$one/b.c") $status $out"
}

case "$case_name" in
  lists_by_purpose) lists_by_purpose ;;
  failed_index_named) failed_index_named ;;
  machine_sources) machine_sources ;;
  relative_links) relative_links_case ;;
  dpkg_database) dpkg_database ;;
  tidy_cache) tidy_cache ;;
  *) echo "unknown case $case_name" >&2; exit 2 ;;
esac
exit "$failed"
