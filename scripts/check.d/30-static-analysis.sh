#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Static analysis of every target, tests, tools, benchmarks and fuzzers
# included: clang-format (the root .clang-format) on every tracked source,
# pyflakes on the Python, clang-tidy with the root .clang-tidy (warnings are
# errors there) over the compile commands of a clang build, and cppcheck
# over the same commands. clang-tidy skips a source it found clean before
# unchanged, headers and flags included (scripts/clang-tidy-cached.sh).
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
jobs=$(nproc)

started=$SECONDS
mapfile -t sources < <(git ls-files '*.c' '*.cc' '*.cpp' '*.h' '*.hpp')
clang-format-14 --dry-run -Werror "${sources[@]}"
echo "clang-format: ${#sources[@]} files clean: $((SECONDS - started)) s"

# The Python of the project (vehcan-db-import and its tests), with Debian's
# Python: unused names, undefined names, syntax.
started=$SECONDS
mapfile -t python < <(git ls-files '*.py' 'tools/db-import/vehcan-db-import')
/usr/bin/python3 -m pyflakes "${python[@]}"
echo "pyflakes: ${#python[@]} files clean: $((SECONDS - started)) s"

# Compile commands only; nothing is built.
started=$SECONDS
CC=clang-14 CXX=clang++-14 cmake -S . -B build-tidy -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DVEHCAN_BUILD_TESTS=ON -DVEHCAN_BUILD_TOOLS=ON -DVEHCAN_BUILD_BENCH=ON >/dev/null
# (the fleet link's protobuf header and the report's embedded page are
# generated: made, nothing else built)
cmake --build build-tidy --target vehcan_fleet_generated tools/report/page_files.cpp >/dev/null
CC=clang-14 CXX=clang++-14 cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVEHCAN_WERROR=OFF >/dev/null

# The project's own sources: not GoogleTest's, not generated ones. The
# tests get every check but the path-sensitive analyzer, which spends three
# quarters of their time on GoogleTest's macros; it covers the code under
# test where that code is checked.
# run-clang-tidy's status does not tell findings, its log does.
shipped="^$top/(src|include|db|tools|bench|pgnparse|rig/load|examples)/"
tests="^$top/(tests|rig/tests)/"
log=build-tidy/clang-tidy.log
run-clang-tidy-14 -p build-tidy -j "$jobs" -quiet -clang-tidy-binary "$top/scripts/clang-tidy-cached.sh" "$shipped" \
    >"$log" 2>&1 || true
run-clang-tidy-14 -p build-tidy -j "$jobs" -quiet -clang-tidy-binary "$top/scripts/clang-tidy-cached.sh" \
    -checks=-clang-analyzer-* "$tests" >>"$log" 2>&1 || true
run-clang-tidy-14 -p build-fuzz -j "$jobs" -quiet -clang-tidy-binary "$top/scripts/clang-tidy-cached.sh" \
    "^$top/fuzz/" >>"$log" 2>&1 || true
sed -i 's/\x1b\[[0-9;]*m//g' "$log"
if grep -qE '^/.*: (warning|error):' "$log"; then
    grep -E '^/.*: (warning|error):' "$log" | sort -u
    echo "clang-tidy: findings above (full log: $log)"
    exit 1
fi
reused=$(grep -c '^clang-tidy-cached: clean before' "$log" || true)
echo "clang-tidy: clean ($reused sources unchanged since a clean run): $((SECONDS - started)) s"

started=$SECONDS
# Not reported: memsetClassFloat (tests fill records holding doubles with a
# byte pattern to see which members a call writes; the targets are IEEE 754);
# readdirCalled and strtokCalled (clang-tidy's concurrency-mt-unsafe covers
# non-reentrant calls, each allowed one with its reason); resourceLeak in
# tests (a failed ASSERT returns early by design); the internal error of
# cppcheck 2.10 on chrono literals ("4s") in the rig's tests; the version
# check of protoc's generated header (cppcheck reads no system headers, so
# it sees none of protobuf's version macros).
rm -rf build-tidy/cppcheck && mkdir -p build-tidy/cppcheck
cppcheck --project=build-tidy/compile_commands.json --library=googletest --library=posix \
    --enable=warning,performance,portability --std=c++20 --inline-suppr \
    --suppress=missingIncludeSystem --suppress=memsetClassFloat --suppress=readdirCalled \
    --suppress=strtokCalled --suppress="resourceLeak:*tests/*" \
    --suppress="cppcheckError:*rig/tests/stack_on_kernel_test.cpp" \
    --suppress="preprocessorErrorDirective:*build-tidy/tools/fleet/generated/*" \
    --error-exitcode=1 -q -j "$jobs" --cppcheck-build-dir=build-tidy/cppcheck
echo "cppcheck: clean: $((SECONDS - started)) s"
