#!/usr/bin/env bash
# Builds the library with AddressSanitizer + UndefinedBehaviorSanitizer and runs
# the whole Python suite (every CPython from 3.8) and the whole Node suite
# against it, with the sanitizer runtime preloaded into the interpreters; then
# the hostile-input and thread/worker stress programs of tests/reliability on
# the same build. Their sizes come from the environment (defaults: the bounded
# CI run): VORN_HOSTILE_CALLS (20000), VORN_HOSTILE_SEED (random),
# VORN_STRESS_CHECKS (python checks per thread, 20000), VORN_STRESS_ROUNDS
# (node worker rounds, 4).
#
# Leak detection is on, but the interpreters free little at exit by design, so
# a leak fails the run only when its stack passes through the library. Any
# other sanitizer report fails it outright.
# Usage: scripts/asan_hosts.sh [builddir]   (default: build-asan-hosts)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
build_dir="${1:-build-asan-hosts}"

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_SANITIZE=address \
  -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j2 --target vorn_native

logs="$(mktemp -d)"
trap 'rm -rf "$logs"' EXIT
# libstdc++ is preloaded too: the ASan runtime resolves the real __cxa_throw at
# start-up, before the interpreter loads the library that would bring it in.
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
# Errors abort; leaks only end up in the logs (exitcode=0), to be sorted below.
# The small quarantine and prompt release keep the suites' memory-growth tests
# meaningful; use-after-free is still caught within 16 MiB of reuse.
asan_options="detect_leaks=1:abort_on_error=1:exitcode=0:quarantine_size_mb=16:allocator_release_to_os_interval_ms=0"
# A Python process that dies of a signal the sanitizers do not report on still
# says where it was.
export PYTHONFAULTHANDLER=1
export PYTHONMALLOC=malloc

status=0
runs=0
# Each command logs into a directory of its own. LeakSanitizer's exit-time scan
# first stops every thread from a helper thread; when that fails, the tool
# aborts the process with a fault of its own ("LeakSanitizer has encountered a
# fatal error"), which says nothing of the code under test. A run with such a
# log and nothing else wrong is shown and taken again, up to three times,
# whether the command failed for it or not (a child process's abort need not
# fail its test); any other failure stands.
run() {
  echo "== $*"
  local attempt dir passed
  for attempt in 1 2 3; do
    runs=$((runs + 1))
    dir="$logs/$runs"
    mkdir -p "$dir"
    passed=true
    ASAN_OPTIONS="$asan_options:log_path=$dir/asan" \
      UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$dir/ubsan" \
      LD_PRELOAD="$preload" "$@" || passed=false
    if ((attempt < 3)) && python3 "$repo/tests/reliability/sanitizer_logs.py" --tool-failure-only "$dir"; then
      echo "LeakSanitizer failed by itself (log above); running once more"
      rm -rf "$dir"
      continue
    fi
    $passed || status=1
    return 0
  done
}

run scripts/test_python.sh "$build_dir"
run scripts/test_node.sh "$build_dir"

calls="${VORN_HOSTILE_CALLS:-20000}" seed="${VORN_HOSTILE_SEED:-$RANDOM$RANDOM}"
export VORN_PYTHON_PATH="$repo/$build_dir/python" VORN_NODE_ADDON="$repo/$build_dir/node/vorn_native.node"
run python3 tests/reliability/hostile_python.py "$calls" "$seed"
run node --expose-gc tests/reliability/hostile_node.js "$calls" "$seed"
run python3 tests/reliability/stress_python.py "${VORN_STRESS_CHECKS:-20000}"
run node tests/reliability/stress_node.js "${VORN_STRESS_ROUNDS:-4}" 100

python3 "$repo/tests/reliability/sanitizer_logs.py" "$logs" || status=1
if ((status != 0)); then
  echo "sanitizer host runs FAILED" >&2
  exit 1
fi
echo "sanitizer host runs clean"
