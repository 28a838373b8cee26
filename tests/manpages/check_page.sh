#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks a manual page of the build (cmake/manpages.cmake) against the
# program it describes, as man shows it:
#
#   tests/manpages/check_page.sh CASE PAGE -- COMMAND...
#
# COMMAND runs the program (through qemu-user in a cross build). Cases:
#   options   every option and argument of COMMAND --help, and of each
#             subcommand's --help (under that subcommand's heading), is in
#             the page, and every line of its "Exit status:" list is in
#             EXIT STATUS;
#   output    the page's example output (the line after "$ PROGRAM" in
#             EXAMPLES) is what COMMAND prints;
#   conf      the keys of each [section] of vehcan.conf(5) are the ones the
#             parser reads: COMMAND is vehcan, whose refusal of an unknown
#             section or key lists the known ones.
# Every case first requires man to show the page without a warning.
set -euo pipefail
case=$1 page=$2
shift 2
[ "${1:-}" = -- ] && shift
cmd=("$@")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# The page as man shows it, on lines wide enough that nothing wraps or is
# hyphenated; man's warnings (roff errors) fail the check.
MANWIDTH=1000 LC_ALL=C.UTF-8 man --nh --nj -E ascii --warnings -l "$page" \
  >"$work/page" 2>"$work/warnings"
if [ -s "$work/warnings" ]; then
  fail "man warns about $page:"
  cat "$work/warnings"
fi
sed -i 's/\x08.//g' "$work/page"

# section NAME: the lines of the page's section NAME.
section() { awk -v name="$1" '/^[A-Z]/ { on = ($0 == name); next } on' "$work/page"; }

# The options and arguments of one --help: the first word of each option
# line ("-i, --interface IF" gives -i and --interface; "PGN TEXT REQUIRED",
# a positional, gives PGN).
help_items() {
  awk '/^Exit status:/ { exit }
       /^  +-/ { n = split($0, w, /[ ,]+/); for (i = 1; i <= n; ++i)
                   if (w[i] ~ /^-/) { sub(/=.*/, "", w[i]); print w[i] } else if (w[i] != "") break
                 next }
       /^  [A-Z][A-Z.]* / && positional { print $1 }
       /^(Positionals|positional arguments):$/ { positional = 1; next }
       /^[^ ]/ { positional = 0 }' "$1"
}

# has_item FILE ITEM: ITEM is one of the option words that start an
# indented line of FILE ("-h, --help", "--qos INT=1"), or its first word.
has_item() {
  awk -v item="$2" '/^ +[^ ]/ { sub(/^ +/, ""); n = split($0, w, /[ ,]+/)
      for (i = 1; i <= n; ++i) { word = w[i]; sub(/=.*/, "", word)
        if (word == item) { found = 1; exit }
        if (word !~ /^-/) break } }
    END { exit !found }' "$1"
}

case "$case" in
  options)
    "${cmd[@]}" --help >"$work/help"
    section OPTIONS >"$work/options"
    section "COMMANDS" >"$work/commands"
    [ -n "$(help_items "$work/help")" ] || fail "no option found in --help"
    for item in $(help_items "$work/help"); do
      has_item "$work/options" "$item" || fail "$item of --help is not under OPTIONS"
    done
    subs=$(awk '/^Subcommands:$/ { on = 1; next } on && /^ +[a-z]/ { print $1; next } on { on = 0 }' \
           "$work/help")
    program=$(basename "${cmd[-1]}")
    for sub in $subs; do
      "${cmd[@]}" "$sub" --help >"$work/help.$sub"
      # The subcommand's part of COMMANDS: from its heading to the next.
      awk -v head="$program $sub " '/^   [^ ]/ { on = (index($0, "   " head) == 1); next } on' \
        "$work/commands" >"$work/part.$sub"
      [ -s "$work/part.$sub" ] || fail "COMMANDS has no heading for $program $sub"
      for item in $(help_items "$work/help.$sub"); do
        [ "$item" = -h ] || [ "$item" = --help ] && continue
        has_item "$work/part.$sub" "$item" || fail "$program $sub $item is not under its heading"
      done
    done
    # Each "  CODE  MEANING" line of --help's exit statuses, in EXIT STATUS.
    section "EXIT STATUS" | tr -s ' ' >"$work/exits"
    awk '/^Exit status:/ { on = 1; next } on && /^  [0-9]/ { print; next } on { exit }' \
      "$work/help" | tr -s ' ' >"$work/help-exits"
    while read -r line; do
      grep -q -F -x -- " $line" "$work/exits" || fail "exit status '$line' is not in EXIT STATUS"
    done <"$work/help-exits"
    grep -q . "$work/exits" || fail "the page has no EXIT STATUS section"
    ;;
  output)
    want=$(section EXAMPLES | awk -v p="\$ $(basename "${cmd[-1]}")" '$1 " " $2 == p { getline; print; exit }' |
           sed 's/^ *//')
    got=$("${cmd[@]}")
    [ -n "$want" ] || fail "EXAMPLES shows no output of \$ $(basename "${cmd[-1]}")"
    [ "$want" = "$got" ] || fail "EXAMPLES shows '$want'; the program prints '$got'"
    ;;
  conf)
    # The page's sections ("[monitor]") and, under each, its keys: the first
    # word of each tagged paragraph.
    awk '/^\[[a-z]+\]$/ { s = $0; next } /^[A-Z]/ { s = "" }
         s != "" && /^       [a-z0-9_]+( = |$)/ { print s, $1 }' "$work/page" | sort >"$work/page-keys"
    cut -d' ' -f1 "$work/page-keys" | sort -u >"$work/page-sections"
    # The parser's, from its refusals.
    printf '[no_such_section]\n' >"$work/conf"
    "${cmd[@]}" monitor --config "$work/conf" 2>"$work/err" && fail "an unknown section was accepted"
    sed -n 's/.*(the sections: \(.*\))$/\1/p' "$work/err" | tr -d ' ' | tr , '\n' | sort >"$work/sections"
    [ -s "$work/sections" ] || fail "the refusal of an unknown section lists none: $(cat "$work/err")"
    diff -u --label parser --label page "$work/sections" "$work/page-sections" ||
      fail "vehcan.conf(5)'s sections differ from the parser's"
    : >"$work/keys"
    while read -r s; do
      printf '%s\nno_such_key = 1\n' "$s" >"$work/conf"
      "${cmd[@]}" monitor --config "$work/conf" 2>"$work/err" && fail "an unknown key was accepted"
      sed -n 's/.*(its keys: \(.*\))$/\1/p' "$work/err" | tr -d ' ' | tr , '\n' |
        sed "s/^/$s /" >>"$work/keys"
    done <"$work/sections"
    sort -o "$work/keys" "$work/keys"
    diff -u --label parser --label page "$work/keys" "$work/page-keys" ||
      fail "vehcan.conf(5)'s keys differ from the parser's"
    ;;
  *) echo "unknown case $case" >&2; exit 2 ;;
esac
if [ "$failures" -ne 0 ]; then
  echo "$page: $failures problem(s)"
  exit 1
fi
echo "$page: agrees with its program ($case)"
