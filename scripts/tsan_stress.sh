#!/usr/bin/env bash
# Builds the engine thread stress (tests/reliability/engine_stress.cpp) with
# ThreadSanitizer and runs it the given number of times (default 1).
# Usage: scripts/tsan_stress.sh [repeats]
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
cmake -S tests/reliability -B build-rel/tsan -DVORN_SANITIZE=thread >/dev/null
cmake --build build-rel/tsan -j2 --target vorn_engine_stress
for ((i = 0; i < ${1:-1}; i++)); do
  TSAN_OPTIONS=halt_on_error=1 build-rel/tsan/vorn_engine_stress
done
