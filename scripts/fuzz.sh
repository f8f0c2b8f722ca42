#!/usr/bin/env bash
# Runs the libFuzzer target over the limiters and the engine for a bounded time,
# starting from the seed corpus (fuzz/corpus) in a scratch copy, then the target
# over shared-memory zones (damaged regions; seeds in fuzz/zone_corpus) for the
# same time, then replays both corpora and every saved input (fuzz/regressions,
# fuzz/zone_regressions) under g++ with ASan+UBSan.
# A crash leaves its input in build-fuzz/crashes/; move it to fuzz/regressions
# with a name that says what broke once it is fixed.
# Usage: scripts/fuzz.sh [seconds] [jobs]   (default 60 s, 1 job)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
seconds="${1:-60}" jobs="${2:-1}"

CXX=clang++ cmake -S fuzz -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j2 --target vorn_fuzz vorn_zone_fuzz
CXX=g++ cmake -S fuzz -B build-rel/fuzz-replay -DVORN_FUZZ_LIBFUZZER=OFF >/dev/null
cmake --build build-rel/fuzz-replay -j2 --target vorn_fuzz vorn_zone_fuzz

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cp fuzz/corpus/* fuzz/regressions/* "$work/"
mkdir -p build-fuzz/crashes
# Parallel jobs write their logs (fuzz-N.log) into the working directory.
parallel=()
((jobs > 1)) && parallel=(-jobs="$jobs" -workers="$jobs")
(cd build-fuzz && UBSAN_OPTIONS=halt_on_error=1 ./vorn_fuzz -max_total_time="$seconds" \
  "${parallel[@]}" -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$repo/build-fuzz/crashes/" "$work" 2>&1) | grep -v '^#[0-9]' || {
  echo "fuzzing found a failure; the input is in build-fuzz/crashes/" >&2
  exit 1
}
build-rel/fuzz-replay/vorn_fuzz fuzz/corpus fuzz/regressions

zone_work="$(mktemp -d)"
trap 'rm -rf "$work" "$zone_work"' EXIT
mkdir -p fuzz/zone_regressions
cp fuzz/zone_corpus/* "$zone_work/"
cp fuzz/zone_regressions/* "$zone_work/" 2>/dev/null || true
(cd build-fuzz && UBSAN_OPTIONS=halt_on_error=1 ./vorn_zone_fuzz -max_total_time="$seconds" \
  "${parallel[@]}" -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$repo/build-fuzz/crashes/zone-" "$zone_work" 2>&1) | grep -v '^#[0-9]' || {
  echo "zone fuzzing found a failure; the input is in build-fuzz/crashes/" >&2
  exit 1
}
build-rel/fuzz-replay/vorn_zone_fuzz fuzz/zone_corpus fuzz/zone_regressions
