#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# clang-tidy with a memory of clean sources, run by run-clang-tidy in
# clang-tidy's place (scripts/check.d/30-static-analysis.sh):
#
#   scripts/clang-tidy-cached.sh [clang-tidy options] -p=BUILD SOURCE
#
# A source is analysed again unless the same clang-tidy, with the same
# options and configuration, found it clean before with the same compile
# command and the same preprocessed text (every header it includes, with
# its comments and the lines that say where each came from). Only clean results are kept:
# a finding shows on every run until it is mended. The checkout's own path
# is taken out of the key, so clones in other directories share it.
#
# Cache: $VEHCAN_TIDY_CACHE (default /var/cache/vehcan/clang-tidy).
# $VEHCAN_CLANG_TIDY names the clang-tidy to run (default clang-tidy-14).
# Any other call (no source, no -p) goes to clang-tidy unchanged.
set -uo pipefail
tidy=${VEHCAN_CLANG_TIDY:-clang-tidy-14}
cache=${VEHCAN_TIDY_CACHE:-/var/cache/vehcan/clang-tidy}

[ $# -ge 1 ] || exec "$tidy"
source=${*: -1}
build=
options=()
for arg in "${@:1:$#-1}"; do
  case $arg in
    -p=*) build=${arg#-p=} ;;
    -export-fixes | *.yaml) ;; # where run-clang-tidy wants fixes written: not part of the result
    *) options+=("$arg") ;;
  esac
done
database=$build/compile_commands.json
if [ -z "$build" ] || [ ! -f "$source" ] || [ ! -f "$database" ]; then
  exec "$tidy" "$@"
fi

# The source's compile command and the checkout it belongs to (the top of
# the git tree, else the source's directory).
entry=$(jq -r --arg f "$source" 'map(select(.file == $f))[0] // empty | .directory, .command' \
  "$database")
if [ -z "$entry" ]; then
  exec "$tidy" "$@"
fi
directory=${entry%%$'\n'*}
command=${entry#*$'\n'}
top=$(git -C "$(dirname "$source")" rev-parse --show-toplevel 2>/dev/null || dirname "$source")

# Every .clang-tidy from the source's directory up to the checkout's top.
configs=()
dir=$(dirname "$source")
while :; do
  [ -f "$dir/.clang-tidy" ] && configs+=("$dir/.clang-tidy")
  [ "$dir" = "$top" ] || [ "$dir" = / ] && break
  dir=$(dirname "$dir")
done

# The compile command, preprocessing only, to standard output, comments
# kept: a NOLINT that goes away must bring its finding back.
preprocess=$(sed -E 's/(^| )-o +[^ ]+/ /g' <<<"$command")
preprocessed=$(cd "$directory" && eval "$preprocess -E -C -o -" 2>/dev/null) || exec "$tidy" "$@"
key=$({
  "$tidy" --version
  printf '%s\n' "${options[@]}"
  printf '%s\n' "${source#"$top"/}" "$command"
  cat "${configs[@]}"
  printf '%s\n' "$preprocessed"
} | sed "s|$top|@top@|g" | sha256sum | cut -c1-64)
stamp=$cache/${key:0:2}/$key
if [ -e "$stamp" ]; then
  echo "clang-tidy-cached: clean before: $source" >&2
  exit 0
fi

out=$("$tidy" "$@" 2>&1)
status=$?
[ -z "$out" ] || printf '%s\n' "$out"
if [ "$status" -eq 0 ] && ! grep -qE ': (warning|error):' <<<"$out"; then
  mkdir -p "${stamp%/*}" && : >"$stamp"
fi
exit "$status"
