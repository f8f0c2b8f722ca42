#!/usr/bin/env bash
# Builds the library in release mode and prints one table: the C++ core, then
# Python (Debian's /usr/bin/python3 for every row) and Node.js against their
# peers. Every figure is a median over several rounds; every ratio is taken in
# the same run. Installs the peers when missing: Debian's python3-limits (apt)
# and the npm packages pinned in bench/package.json (into bench/node_modules).
# Usage: scripts/bench.sh [builddir]   (default: build-bench)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
builddir="${1:-build-bench}"
case "$builddir" in /*) ;; *) builddir="$repo/$builddir" ;; esac
python=/usr/bin/python3
out="$builddir/bench-results"

if ! "$python" -c 'import limits' 2>/dev/null; then
  echo "== installing python3-limits" >&2
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get install -y python3-limits >&2 ||
    echo "python3-limits could not be installed: its rows are left out" >&2
fi
if [[ ! -d "$repo/bench/node_modules/rate-limiter-flexible" ]]; then
  echo "== installing the npm peers" >&2
  (cd "$repo/bench" && npm ci --no-audit --no-fund >&2) ||
    echo "npm peers could not be installed: their rows are left out" >&2
fi

echo "== building (Release) in $builddir" >&2
cmake -S "$repo" -B "$builddir" -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF >&2
cmake --build "$builddir" -j2 >&2
mkdir -p "$out"

echo "== C++ core" >&2
"$builddir/bench/vorn_bench" --benchmark_filter='BM_EngineCheck|BM_BytesPerKey|BM_ExistingKey/0|BM_NewKeyWithRoom' \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.3 --benchmark_format=json --benchmark_out="$out/core.json" \
  --benchmark_out_format=json >/dev/null
"$builddir/bench/vorn_bench" --benchmark_filter='BM_OneOffClientsResident' \
  --benchmark_format=json --benchmark_out="$out/core_memory.json" \
  --benchmark_out_format=json >/dev/null
echo "== Python" >&2
"$python" "$repo/bench/python_bench.py" "$builddir" --json "$out/python.json" >&2
echo "== Node.js" >&2
node "$repo/bench/node_bench.js" "$builddir" --json "$out/node.json" >&2

"$python" "$repo/bench/report.py" "$out"
