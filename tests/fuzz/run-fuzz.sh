#!/bin/bash
# Builds the package-reader fuzz target with clang (libFuzzer, AddressSanitizer with leak
# detection, UndefinedBehaviorSanitizer) in BUILD_DIR and runs it for SECONDS from the seed
# corpus. Exits non-zero on any crash, leak, sanitizer report or build failure.
#
#   tests/fuzz/run-fuzz.sh BUILD_DIR SECONDS
#
# Needs Debian's clang and libclang-rt-14-dev (the libFuzzer and sanitizer runtimes).
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 BUILD_DIR SECONDS" >&2
    exit 2
fi
here="$(cd "$(dirname "$0")" && pwd)"
build="$1"
seconds="$2"

cc="${CC:-clang}"
cxx="${CXX:-clang++}"
cmake -S "$here" -B "$build" -DCMAKE_C_COMPILER="$cc" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2

# The corpus in the source tree stays as committed; new inputs go to the build directory.
work="$build/corpus"
artifacts="$build/artifacts"
mkdir -p "$work" "$artifacts"
rm -f "$artifacts"/*

# Full stacks at every allocation (slower, but the only way through Qt's frame-pointer-less
# code) so that the one known Qt leak in lsan.supp is matched by name and nothing else is.
log="$build/fuzz.log"
status=0
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1:fast_unwind_on_malloc=0:malloc_context_size=40 \
LSAN_OPTIONS=suppressions="$here/lsan.supp":print_suppressions=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$build/fuzz_package" -max_total_time="$seconds" -max_len=65536 -rss_limit_mb=2048 -timeout=25 \
    -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "$here/corpus" >"$log" 2>&1 || status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
echo "fuzz_package: ${executions:-0} executions in ${seconds} s"

if [ "$status" -ne 0 ] || grep -qE "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: " "$log" \
    || [ -n "$(ls -A "$artifacts")" ]; then
    echo "fuzz_package found a problem (exit status $status); the end of $log:" >&2
    tail -n 60 "$log" >&2
    ls -l "$artifacts" >&2
    exit 1
fi
