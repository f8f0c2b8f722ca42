#!/usr/bin/env bash
# Runs the C++ core tests under AddressSanitizer+UndefinedBehaviorSanitizer and
# under ThreadSanitizer, each in a build directory of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
for sanitizer in address thread; do
  build_dir=build-$sanitizer
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=$sanitizer \
    -DVORN_BUILD_BENCH=OFF >/dev/null
  cmake --build "$build_dir" -j"$(nproc)" --target vorn_core_tests vorn_sync_tests
  echo "== core tests under $sanitizer sanitizer"
  # ThreadSanitizer sees one process only: the zone tests across forked
  # processes run under AddressSanitizer alone.
  filter='*'
  [[ $sanitizer == thread ]] && filter='-ZoneAcrossProcesses.*:ZoneRecovery.*'
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    TSAN_OPTIONS=halt_on_error=1 "$build_dir/tests/vorn_core_tests" --gtest_brief=1 \
    --gtest_filter="$filter"
  sync_filter='*'
  [[ $sanitizer == thread ]] && sync_filter='-MachineLedgerTest.*'
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    TSAN_OPTIONS=halt_on_error=1 "$build_dir/tests/vorn_sync_tests" --gtest_brief=1 \
    --gtest_filter="$sync_filter"
done
