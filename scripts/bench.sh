#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every benchmark of the project and prints one Markdown table:
#   - each program that bench/*.cmake adds (found in <build>/bench, not
#     listed here). Google Benchmark programs are run with CSV output and
#     give one row per benchmark: CPU time per iteration, and items per
#     second where they count items. Other programs print their own rows as
#     "| what | figure |" lines; their other lines become notes. Each runs in
#     a private IPC namespace where possible (the stack's bench makes queues);
#   - vehcan replay's CPU time without and with the example database;
#   - the report: vehcan replay --report of the example capture and of an
#     hour's simulated drive (time, page size) and each page opening in
#     Debian's chromium, headless (bench/report_bench.py);
#   - the rig's load figures, when the rig is available (QEMU guest with the
#     kernel's CAN_J1939; skip with VEHCAN_BENCH_NO_RIG=1): in the x86 guest
#     at the flood and paced at 1,000 frames/s, with the system calls per
#     delivered message at 100 frames/s and at the flood; and in the arm64
#     guest with each cross build that is there (build-arm64, build-arm:
#     scripts/cross-build.sh), at the flood and paced:
#       rig/run-guest.sh --arch arm64 -- build-arm64/rig/vehcan_rig_load 30
#       rig/run-guest.sh --arch arm64 -- build-arm64/rig/vehcan_rig_load 30 1000
#
#   scripts/bench.sh            build into build-bench (Release) and run all
#   cmake --build build --target bench
#                               the same over an existing build (the target
#                               sets VEHCAN_BENCH_BUILD_DIR and builds first)
#   VEHCAN_BENCH_MIN_TIME=1     seconds per Google Benchmark case (default 0.5)
# The table of docs/performance.md is this script's output.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
min_time=${VEHCAN_BENCH_MIN_TIME:-0.5}
if [ -n "${VEHCAN_BENCH_BUILD_DIR:-}" ]; then
    build=$VEHCAN_BENCH_BUILD_DIR # configured and built by the caller
else
    build=$top/build-bench
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVEHCAN_BUILD_BENCH=ON \
          -DVEHCAN_BUILD_TESTS=ON >/dev/null
    cmake --build "$build" >/dev/null
fi

isolate=()
if [ "$(id -u)" -eq 0 ] && unshare --ipc true 2>/dev/null; then
    isolate=(unshare --ipc)
fi

rows=()
notes=()
failed=0

# (grep -c reads all of nm's output: with grep -q, nm could die of SIGPIPE
# and pipefail would turn a match into a failure.)
is_google_benchmark() {
    { nm -C "$1" 2>/dev/null; nm -DC "$1" 2>/dev/null; } |
        grep -c 'benchmark::RunSpecifiedBenchmarks' >/dev/null
}

# Rows from Google Benchmark's CSV: name,iterations,real_time,cpu_time,
# time_unit,bytes_per_second,items_per_second,label,error_occurred,error_message
google_rows() { # program-name < output
    awk -F, -v prog="$1" '
        function num(v) { return v >= 100 ? sprintf("%.0f", v) : sprintf("%.3g", v) }
        /^name,iterations,/ { csv = 1; next }
        !csv { if (NF) print "NOTE " prog ": " $0; next }
        {
            name = $1; gsub(/"/, "", name)
            figure = num($4) " " $5 " CPU per iteration"
            if ($7 != "") figure = figure ", " sprintf("%.0f", $7) " items/s"
            print "ROW | " prog ": " name " | " figure " |"
        }'
}

own_rows() { # program-name < output
    awk -v prog="$1" '
        /^\|/ { print "ROW " $0; next }
        NF { print "NOTE " prog ": " $0 }'
}

collect() { # lines of ROW/NOTE
    local line
    while IFS= read -r line; do
        case "$line" in
        ROW\ *) rows+=("${line#ROW }") ;;
        NOTE\ *) notes+=("${line#NOTE }") ;;
        esac
    done
}

for program in "$build"/bench/*; do
    [ -f "$program" ] && [ -x "$program" ] || continue
    name=$(basename "$program")
    echo "bench: running $name" >&2
    if is_google_benchmark "$program"; then
        if out=$("$program" --benchmark_format=csv --benchmark_min_time="$min_time" 2>/dev/null); then
            collect < <(google_rows "$name" <<<"$out")
        else
            notes+=("$name: FAILED"); failed=1
        fi
    else
        if out=$("${isolate[@]}" "$program" 2>&1); then
            collect < <(own_rows "$name" <<<"$out")
        else
            notes+=("$name: FAILED: ${out##*$'\n'}"); failed=1
        fi
    fi
done

# vehcan replay of the example capture played 20 times over, without and
# with the example database: the CPU time (user + system, the least of five
# runs) of each and their ratio.
replay_rows() {
    local vehcan=$build/tools/cli/vehcan capture best_plain best_db
    [ -x "$vehcan" ] || { notes+=("replay: no vehcan in $build"); return; }
    capture=$(mktemp)
    awk -v copies=20 '
        { line[NR] = $0; t[NR] = substr($1, 2, index($1, ")") - 2) + 0 }
        END {
            span = t[NR] - t[1] + 0.01
            for (k = 0; k < copies; ++k)
                for (i = 1; i <= NR; ++i) {
                    rest = substr(line[i], index(line[i], ")") + 1)
                    printf "(%.6f)%s\n", t[i] + k * span, rest
                }
        }' examples/truck.log >"$capture"
    cpu_of() { # least user + system seconds of five runs of vehcan replay ARGS
        local best=999 t i TIMEFORMAT='%U %S'
        for i in 1 2 3 4 5; do
            t=$( { time "$vehcan" replay "$@" >/dev/null 2>&1; } 2>&1 | awk '{ print $1 + $2 }')
            best=$(awk -v a="$best" -v b="$t" 'BEGIN { print (b < a ? b : a) }')
        done
        echo "$best"
    }
    best_plain=$(cpu_of "$capture")
    best_db=$(cpu_of "$capture" --db data/sample.xml)
    rm -f "$capture"
    rows+=("| vehcan replay, $(wc -l <examples/truck.log) x 20 messages, without a database | ${best_plain} s CPU |")
    rows+=("| vehcan replay, the same with data/sample.xml | ${best_db} s CPU ($(awk -v a="$best_db" -v b="$best_plain" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }') x) |")
}
replay_rows

# The report's build and opening times (bench/report_bench.py), where the
# browser is installed (scripts/deps.d/56-report-tests.txt).
report_rows() {
    local vehcan=$build/tools/cli/vehcan drive=$build/tests/vehcan_drive_capture out
    if [ ! -x "$vehcan" ] || [ ! -x "$drive" ] || [ ! -x /usr/bin/chromium ]; then
        notes+=("report: not run (no vehcan, vehcan_drive_capture or chromium)")
        return
    fi
    echo "bench: timing the report" >&2
    if out=$(/usr/bin/python3 bench/report_bench.py --vehcan "$vehcan" --drive "$drive" 2>&1); then
        collect < <(own_rows report <<<"$out")
    else
        notes+=("report: FAILED: ${out##*$'\n'}")
        failed=1
    fi
}
report_rows

# rig_load LABEL ARCH PROGRAM [ARG...]: the rig's load report in the ARCH
# guest, one row per figure, named LABEL. ARGs: seconds of flood and a pace
# in frames per second (vehcan_rig_load's own defaults without them).
rig_load() {
    local label=$1 arch=$2 program=$3 out
    shift 3
    echo "bench: running the rig's load measurement ($label)" >&2
    if out=$(rig/run-guest.sh --arch "$arch" --timeout 600 -- "$program" "$@" 2>&1); then
        # Its report: a "load:" line and indented figures; each becomes a row.
        collect < <(awk -v label="$label" '
            /^(load:|  )/ { sub(/^ +/, ""); gsub(/\|/, "/"); gsub(/  +/, " "); print "ROW | " label " | " $0 " |" }
            /^vehcan-sim:/ { print "NOTE " label ": " $0 }' <<<"$out")
    else
        notes+=("$label: not available or failed (exit $?): ${out##*$'\n'}")
    fi
}

# rig_syscalls LABEL PROGRAM SECONDS RATE: system calls per delivered
# message on both sides (x86 guest only: strace comes from the host's root).
rig_syscalls() {
    local label=$1 out
    echo "bench: counting system calls ($label)" >&2
    if out=$(rig/run-guest.sh --timeout 600 -- rig/load/count_syscalls.sh "$2" "$label" "$3" "$4" 2>&1); then
        collect < <(awk '/^\|/ { print "ROW " $0 }' <<<"$out")
    else
        notes+=("$label: not available or failed (exit $?): ${out##*$'\n'}")
    fi
}

rig_load=$build/rig/vehcan_rig_load
if [ "${VEHCAN_BENCH_NO_RIG:-0}" != 1 ] && [ -x "$rig_load" ] && [ -x rig/run-guest.sh ]; then
    rig_load "rig load" amd64 "$rig_load"
    rig_load "rig load, paced 1000/s" amd64 "$rig_load" 30 1000
    # Sparse traffic (each message alone on the queues) and under load.
    rig_syscalls "rig syscalls, paced 100/s" "$rig_load" 10 100
    rig_syscalls "rig syscalls, flood" "$rig_load" 10 0
    # The cross builds' load programs in the arm64 guest, where they exist
    # (scripts/cross-build.sh); armhf runs 32-bit on the 64-bit kernel.
    for cross in arm64:build-arm64 armhf:build-arm; do
        program=$top/${cross#*:}/rig/vehcan_rig_load
        [ -x "$program" ] || continue
        label="rig load (${cross%%:*} build, arm64 guest)"
        [ "${cross%%:*}" = arm64 ] || label="rig load (armhf build: 32-bit programs, arm64 guest)"
        rig_load "$label" arm64 "$program"
        rig_load "$label, paced 1000/s" arm64 "$program" 30 1000
    done
else
    notes+=("rig load: not run (no rig build or VEHCAN_BENCH_NO_RIG=1)")
fi

echo "Machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores," \
     "Linux $(uname -r), $(c++ --version | head -1); $(date -u '+%Y-%m-%d %H:%M UTC')"
echo
echo "| benchmark | figure |"
echo "|---|---|"
for r in "${rows[@]}"; do
    echo "$r"
done
if [ ${#notes[@]} -gt 0 ]; then
    echo
    for n in "${notes[@]}"; do
        echo "- $n"
    done
fi
exit "$failed"
