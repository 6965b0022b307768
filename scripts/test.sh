#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test under
# AddressSanitizer + UndefinedBehaviorSanitizer, and the threaded tests again
# under ThreadSanitizer. Exits non-zero on any failure or sanitizer report.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/deps.sh"
jobs=$(nproc 2>/dev/null || echo 2)

export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=66"

echo "== AddressSanitizer + UndefinedBehaviorSanitizer =="
"$root/scripts/build.sh" build-asan Debug asan
ctest --test-dir build-asan --output-on-failure -j "$jobs"

echo "== ThreadSanitizer (threaded tests) =="
"$root/scripts/build.sh" build-tsan Debug tsan
ctest --test-dir build-tsan --output-on-failure -j "$jobs" -L threads

echo "All tests passed."
