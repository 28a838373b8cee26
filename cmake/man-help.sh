#!/bin/sh
# SPDX-License-Identifier: MIT
# What help2man reads to make a program's manual page (cmake/manpages.cmake):
#
#   cmake/man-help.sh COMMAND... -- --help|--version
#
# COMMAND runs the program (in a cross build through qemu-user on the
# sysroot). --version passes through. --help is the program's own --help,
# laid out the way help2man reads it:
#   - "usage:" and argparse's wrapped usage lines become one "Usage:" line;
#     "positional arguments:", "options:" and "Positionals:" merge into the
#     one "Options:" block (help2man's OPTIONS);
#   - a "Subcommands:" list is replaced by a COMMANDS section: each
#     subcommand's own --help under a heading "PROGRAM SUB [OPTIONS]...",
#     its options and arguments in one list (its own headings, option
#     groups' included, left out), without its repeated help option and
#     exit statuses; each
#     subcommand's usage is added to the synopsis ("or:" lines);
#   - "Exit status:" starts the EXIT STATUS section;
#   - what the build machine lacks is left out ("Not readable here":
#     vehcan-db-import's formats whose Python module the build machine
#     has not installed): the page is about the installed program.
# Nothing is written here that the program does not print: the page's
# options, commands and exit statuses are the program's.
set -eu
cmd=
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  cmd="$cmd '$1'"
  shift
done
[ $# -eq 2 ] || { echo "usage: cmake/man-help.sh COMMAND... -- --help|--version" >&2; exit 2; }
option=$2

run() { eval "$cmd \"\$@\""; }

if [ "$option" != --help ]; then
  run "$option"
  exit
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run --help >"$work/top"
# (argparse puts its metavar, "COMMAND", on a line of its own first)
subs=$(awk '/^Subcommands:$/ { on = 1; next } on && /^ +[A-Z]+$/ { next }
            on && /^ +[a-z]/ { print $1; next } on { on = 0 }' "$work/top")
for sub in $subs; do
  run "$sub" --help >"$work/sub.$sub"
done

# The usage lines: the program's own, then one per subcommand.
normalize='
  # argparse: "usage:" in lower case, continued on indented lines.
  /^usage: / { line = "Usage: " substr($0, 8); while ((getline next_line) > 0 && next_line ~ /^ +[^ ]/) {
      sub(/^ +/, " ", next_line); line = line next_line }
    print line; if (next_line != "") print next_line; else print ""; next }
  { print }'
awk "$normalize" "$work/top" >"$work/top.n"
for sub in $subs; do
  awk "$normalize" "$work/sub.$sub" >"$work/sub.n" && mv "$work/sub.n" "$work/sub.$sub"
done
{
  grep -m1 '^Usage: ' "$work/top.n"
  for sub in $subs; do
    grep -m1 '^Usage: ' "$work/sub.$sub" | sed 's/^Usage:/   or:/'
  done
} >"$work/usage"

# The program's help without its usage line: the description, the options
# (one block), the subcommands' section and the exit statuses.
awk -v subs="$subs" -v dir="$work" '
  /^Usage: / { next }
  /^(positional arguments|options|Options|Positionals):$/ {
    if (!options_seen) print "Options:"; options_seen = 1; next }
  /^Subcommands:$/ || /^Not readable here/ { skipping = ($0 ~ /^Subcommands/) ? 1 : 2; next }
  skipping == 2 && /^ / { next }
  skipping == 2 { skipping = 0 }
  skipping && /^ / { next }
  skipping { skipping = 0; commands() }
  /^Exit status:/ { print "*Exit status*"; rest = substr($0, 14); sub(/^ +/, "", rest)
    if (rest != "") print rest; next }
  { print }
  function commands(   n, names, i, file, line, description, in_exit, usage_done) {
    print "*Commands*"
    n = split(subs, names, " ")
    for (i = 1; i <= n; ++i) {
      file = dir "/sub." names[i]
      description = ""
      in_exit = 0
      usage_done = 0
      while ((getline line < file) > 0) {
        if (line ~ /^Usage: /) { sub(/^Usage: /, "", line); print line ":"; usage_done = 1
          if (description != "") print "  " description; print ""; continue }
        # (CLI11 says what a subcommand does before its usage, argparse after)
        if (description == "" && line !~ /^ / && line != "") { description = line
          if (usage_done) print "  " line; continue }
        if (line ~ /^Exit status:/) { in_exit = 1; continue }
        # Its headings (Options:, Positionals:, the name of an option group) go:
        # one list under the heading of the subcommand.
        if (in_exit || line ~ /^[^ ].*:$/ || line ~ /^ +-h, ?--help /) continue
        if (line == "") continue
        print line
      }
      close(file)
      print ""
    }
  }
' "$work/top.n" >"$work/body"

cat "$work/usage"
echo
cat "$work/body"
