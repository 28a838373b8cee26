#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the libFuzzer targets of fuzz/ (clang, ASan + UBSan) and runs each
# for a bounded time, as many at once as there are cores, starting from the
# seeds in fuzz/corpus/<target>. A crash, a leak, a sanitizer report or a
# broken invariant of a target fails the check; its input is kept as
# build-fuzz/crash-<target>-* and its log as build-fuzz/<target>.log.
#
# VEHCAN_FUZZ_SECONDS sets the time per target (default 30; CI keeps the whole
# run under 30 minutes). A target with a floor of executions below runs on
# past its time, with libFuzzer's -runs, until it reaches it: on a slow or
# busy machine only, and only for the executions it lacks.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
seconds=${VEHCAN_FUZZ_SECONDS:-30}
dir=build-fuzz
started=$SECONDS
source scripts/compiler-cache.sh

CC=clang-14 CXX=clang++-14 cmake -S fuzz -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVEHCAN_WERROR=OFF "${cache_launcher[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target fuzzers

mapfile -t targets < <(cd "$dir" && ls fuzz_* | sed 's/^fuzz_//' | sort)
# The diagnostics' parsers read what any ECU sends: a million inputs a run.
declare -A floor_of=([diag_layouts]=1000000)
scratch=${TMPDIR:-/tmp}
[ -d /dev/shm ] && [ -w /dev/shm ] && scratch=/dev/shm

# executions LOG: the units executed, summed over the runs the log holds
executions() {
    sed -n 's/^stat::number_of_executed_units: *//p' "$1" | awk '{ n += $1 } END { print n + 0 }'
}

run_target() { # name
    local t=$1
    local floor=${floor_of[$t]:-0}
    mkdir -p "$dir/corpus/$t"
    rm -f "$dir/crash-$t-"*
    fuzz() {
        TMPDIR=$scratch "$dir/fuzz_$t" "$dir/corpus/$t" "fuzz/corpus/$t" \
            -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -artifact_prefix="$dir/crash-$t-" "$@"
    }
    fuzz -max_total_time="$seconds" >"$dir/$t.log" 2>&1 || return
    local done_so_far
    done_so_far=$(executions "$dir/$t.log")
    if [ "$done_so_far" -lt "$floor" ]; then
        echo "== $done_so_far executions in ${seconds} s: on to $floor" >>"$dir/$t.log"
        fuzz -runs=$((floor - done_so_far)) >>"$dir/$t.log" 2>&1
    fi
}

declare -A pid_of
failed=()
running=0
for t in "${targets[@]}"; do
    if [ "$running" -ge "$(nproc)" ]; then
        wait -n || true
        running=$((running - 1))
    fi
    run_target "$t" &
    pid_of[$t]=$!
    running=$((running + 1))
done

printf '%-14s %12s %8s %8s %10s  %s\n' target executions cov ft corpus result
for t in "${targets[@]}"; do
    result=ok
    wait "${pid_of[$t]}" || result=FAILED
    execs=$(executions "$dir/$t.log")
    last=$(grep -o 'cov: [0-9]* ft: [0-9]* corp: [0-9]*' "$dir/$t.log" | tail -1 || true)
    read -r _ cov _ ft _ corp <<<"${last:-x - x - x -}"
    printf '%-14s %12s %8s %8s %10s  %s\n' "$t" "${execs:--}" "$cov" "$ft" "$corp" "$result"
    if [ "$result" != ok ]; then
        failed+=("$t")
    fi
done
for t in "${failed[@]}"; do
    echo "== fuzz_$t failed; the end of its log ($dir/$t.log):"
    tail -n 40 "$dir/$t.log"
done
echo "fuzz: ${#targets[@]} targets, ${seconds} s each: $((SECONDS - started)) s"
[ ${#failed[@]} -eq 0 ]
