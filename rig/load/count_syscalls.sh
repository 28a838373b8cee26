#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# System calls per delivered message, in the rig guest (x86: strace comes
# from the host's root file system). Runs vehcan_rig_load under strace with
# one trace file per thread and process, and divides the calls of each side
# by the flood frames that side got:
#   - the library: every call of the threads that carry a message, the
#     receiver, the filter and the host's thread that drains
#     "/brdcst_queue" (in the kernel mq_send and mq_receive are
#     mq_timedsend and mq_timedreceive);
#   - the plain reader: every call of its thread (the one that calls
#     recvfrom).
# Left out: the main thread (bring-up, then it waits for the flood to end)
# and every process it starts (vehcan-sim, the shell and ip of bring-up).
#
#   rig/run-guest.sh -- rig/load/count_syscalls.sh PROGRAM LABEL SECONDS [FRAMES_PER_SECOND]
#
# Prints "| LABEL: ... | figure |" rows for scripts/bench.sh.
set -euo pipefail
program=$1 label=$2 seconds=$3 rate=${4:-0}
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
strace -f -ff -o "$dir/trace" "$program" "$seconds" "$rate" >"$dir/out" 2>&1 || {
    cat "$dir/out" >&2
    exit 1
}
library=$(awk '/library \(\/brdcst_queue\):/ { print $3 }' "$dir/out")
plain=$(awk '/plain promiscuous reader:/ { print $4 }' "$dir/out")
sent=$(awk '/^load:/ { for (i = 1; i <= NF; ++i) if ($i == "frames") print $(i - 1) }' "$dir/out")
library_files=()
plain_files=()
for f in "$dir"/trace.*; do
    grep -q '^execve(' "$f" && continue # the main thread, or a process of its own
    if grep -q '^recvfrom(' "$f"; then
        plain_files+=("$f")
    else
        library_files+=("$f")
    fi
done
# Calls by name, "name count, ..." in descending order, and their sum.
calls_of() {
    cat "$@" | awk 'match($0, /^[a-z_0-9]+\(/) { n[substr($0, 1, RLENGTH - 1)]++ }
        END { for (c in n) print n[c], c }' | sort -rn
}
lib_calls=$(calls_of "${library_files[@]}")
plain_calls=$(calls_of "${plain_files[@]}")
awk -v label="$label" -v library="$library" -v plain="$plain" -v sent="$sent" \
    -v threads="${#library_files[@]}" -v lib_calls="$lib_calls" -v plain_calls="$plain_calls" '
    function sum(text,   lines, i, f, total) {
        split(text, lines, "\n")
        for (i in lines) { split(lines[i], f, " "); total += f[1] }
        return total
    }
    function detail(text,   lines, i, f, s) {
        split(text, lines, "\n")
        for (i = 1; i in lines; ++i) { split(lines[i], f, " "); if (f[2] != "") s = s (s ? ", " : "") f[2] " " f[1] }
        return s
    }
    BEGIN {
        printf "| %s: library, system calls per delivered message | %.2f (%d frames sent, %d delivered; %d threads: %s) |\n",
               label, library ? sum(lib_calls) / library : 0, sent, library, threads, detail(lib_calls)
        printf "| %s: plain reader, system calls per delivered message | %.2f (%d delivered; %s) |\n",
               label, plain ? sum(plain_calls) / plain : 0, plain, detail(plain_calls)
    }'
