#!/usr/bin/env bash
# The bounded reliability runs for CI (seven minutes on two cores):
#  1. the two libFuzzer targets for about a minute each from their seed corpora,
#     and every saved input replayed under g++ with ASan+UBSan;
#  2. the Python and Node suites, hostile input and stress on an ASan+UBSan
#     library inside both interpreters;
#  3. the engine thread stress under ThreadSanitizer;
#  4. valgrind leak check of the Python churn, and the Node churn with collection.
# The longer runs are listed in docs/reliability.md.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
fuzz_seconds="${VORN_FUZZ_SECONDS:-60}"
started=$SECONDS
stage() { echo; echo "=== reliability: $* ($((SECONDS - started)) s)"; }

scripts/packages.sh reliability  # clang's libFuzzer, valgrind

stage "fuzzing (${fuzz_seconds} s)"
scripts/fuzz.sh "$fuzz_seconds"

stage "sanitizers in both hosts"
scripts/asan_hosts.sh

stage "thread stress under ThreadSanitizer"
scripts/tsan_stress.sh

stage "leak checks"
scripts/leak_check.sh

stage "done"
echo "reliability runs passed in $((SECONDS - started)) s"
