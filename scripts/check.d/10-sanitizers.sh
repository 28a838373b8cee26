#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The unit suite under AddressSanitizer + UndefinedBehaviorSanitizer, then
# under ThreadSanitizer. Both builds stop at the first report
# (-fno-sanitize-recover=all, halt_on_error), so any report fails the check.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
jobs=$(nproc)
source scripts/compiler-cache.sh

sanitized() { # sanitizers build-dir [cmake options]
    local started=$SECONDS
    # -O1 and line tables only (-g1): reports keep their file:line stacks,
    # and the build takes half the time of -O2 -g.
    cmake -S . -B "$2" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEHCAN_WERROR=ON \
          -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
          -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
          -DVEHCAN_SANITIZE="$1" -DVEHCAN_BUILD_BENCH=OFF "${@:3}" "${cache_launcher[@]}" \
          -DVEHCAN_TEST_LAUNCHER="unshare;--ipc" >/dev/null
    cmake --build "$2" -j"$jobs"
    # The rig runs in 50-rig.sh. Tests labelled "host" check what no compiler
    # flag changes (the setup scripts, configure's messages, the manual pages
    # against --help, the Python decoder, the report page in a browser): the
    # native build's run is theirs.
    ctest --test-dir "$2" --output-on-failure -j"$jobs" -LE '^(rig|host)$'
    echo "sanitizers $1: $((SECONDS - started)) s"
}

export ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:strict_string_checks=1:check_initialization_order=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
sanitized address,undefined build-asan

# The library's and the database reader's tests: the threaded stack tests
# and the concurrent lookups among them. The tools' own tests ran above.
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
sanitized thread build-tsan -DVEHCAN_BUILD_TOOLS=OFF
