#!/usr/bin/env bash
# Builds the library in release mode and prints one table: the C++ core, then
# Python (Debian's /usr/bin/python3 for every row) and Node.js against their
# peers, and wrk against trivial node:http and Express servers. Every figure is
# a median over several rounds; every ratio is taken in the same run. Installs
# the peers when missing: Debian's python3-limits and wrk (apt) and the npm
# packages pinned in bench/package.json (into bench/node_modules).
# The checkRequest and middleware rows run once more under the newest
# long-term Node pinned in scripts/node-versions.txt (fetched into a cache).
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
if ! command -v wrk >/dev/null; then
  echo "== installing wrk" >&2
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get install -y wrk >&2 || echo "wrk could not be installed: its rows are left out" >&2
fi
# The Python middleware rows: flask-limiter is their peer (benchmarks only).
if ! "$python" -c 'import flask_limiter' 2>/dev/null; then
  echo "== installing python3-flask-limiter" >&2
  sudo_cmd=()
  [[ $(id -u) -ne 0 ]] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get install -y python3-flask-limiter >&2 ||
    echo "python3-flask-limiter could not be installed: the Flask rows are left out" >&2
fi
if [[ ! -d "$repo/bench/node_modules/rate-limiter-flexible" ]]; then
  echo "== installing the npm peers" >&2
  (cd "$repo/bench" && npm ci --no-audit --no-fund >&2) ||
    echo "npm peers could not be installed: their rows are left out" >&2
fi

# The Redis rows: both hosts' Redis engines and their peers' Redis stores on one
# redis-server started here (no persistence, a free loopback port), stopped after.
# VORN_REDIS_MEMORY_KEYS sets the keys of the memory measurement (0: none).
redis_rows() {
  local build="$1" results="$2" port pid
  if ! command -v redis-server >/dev/null; then
    echo "redis-server is not installed: the Redis rows are left out" >&2
    return 0
  fi
  if [[ ! -d "$repo/node_modules/ioredis" ]]; then
    (cd "$repo" && npm ci --no-audit --no-fund >&2) ||
      echo "npm ci failed: the Node Redis rows may be left out" >&2
  fi
  port="$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0))
print(s.getsockname()[1])')"
  redis-server --port "$port" --bind 127.0.0.1 --save '' --appendonly no >/dev/null &
  pid=$!
  trap 'kill "$pid" 2>/dev/null || true' EXIT
  for _ in $(seq 100); do
    redis-cli -p "$port" ping >/dev/null 2>&1 && break
    sleep 0.05
  done
  echo "== Redis (Python, then Node.js)" >&2
  "$python" "$repo/bench/redis_python_bench.py" "redis://127.0.0.1:$port/0" "$build" \
    --json "$results/redis_python.json" >&2 || echo "the Python Redis rows failed" >&2
  node "$repo/bench/redis_node_bench.js" "redis://127.0.0.1:$port/0" "$build" \
    --json "$results/redis_node.json" >&2 || echo "the Node Redis rows failed" >&2
  echo "== Redis limits of rates (Python, then Node.js)" >&2
  "$python" "$repo/bench/redis_rates_bench.py" "redis://127.0.0.1:$port/0" "$build" \
    --json "$results/redis_rates_python.json" >&2 || echo "the Python Redis rate rows failed" >&2
  node "$repo/bench/redis_rates_bench.js" "redis://127.0.0.1:$port/0" "$build" \
    --json "$results/redis_rates_node.json" >&2 || echo "the Node Redis rate rows failed" >&2
  echo "== synced engines against in-process ones (Python)" >&2
  "$python" "$repo/bench/sync_bench.py" "redis://127.0.0.1:$port/0" "$build" \
    --json "$results/sync_python.json" >&2 || echo "the Python synced rows failed" >&2
  echo "== synced engines against in-process and per-request Redis ones (Node.js)" >&2
  node "$repo/bench/sync_bench.js" "redis://127.0.0.1:$port/0" "$build" \
    --json "$results/sync_node.json" >&2 || echo "the Node synced rows failed" >&2
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  trap - EXIT
  echo "== Redis Cluster of three primaries against one Redis (both hosts)" >&2
  "$python" "$repo/bench/redis_cluster_bench.py" "$build" --json "$results/redis_cluster.json" >&2 ||
    echo "the Redis Cluster rows failed" >&2
}

echo "== building (Release) in $builddir" >&2
cmake -S "$repo" -B "$builddir" -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF >&2
cmake --build "$builddir" -j2 >&2
mkdir -p "$out"

echo "== C++ core" >&2
"$builddir/bench/vorn_bench" --benchmark_filter='BM_EngineCheck|BM_EngineVerdict|BM_RatesCheck|BM_Floor|BM_BytesPerKey|BM_ExistingKey/0|BM_NewKey|BM_LimitCheck' \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.3 --benchmark_format=json --benchmark_out="$out/core.json" \
  --benchmark_out_format=json >/dev/null
"$builddir/bench/vorn_bench" --benchmark_filter='BM_OneOffClientsResident' \
  --benchmark_format=json --benchmark_out="$out/core_memory.json" \
  --benchmark_out_format=json >/dev/null
echo "== C++ zone" >&2
"$builddir/bench/vorn_zone_bench" --benchmark_filter='BM_ZoneEngineCheck|BM_ZoneEngineVerdict|BM_ZoneFloor|BM_ZoneNewKey|BM_ZoneLimitCheck' \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  --benchmark_min_time=0.3 --benchmark_format=json --benchmark_out="$out/zone.json" \
  --benchmark_out_format=json >/dev/null
"$builddir/bench/vorn_zone_bench" --benchmark_filter='BM_ZoneBytesPerKey|BM_ZoneTwoProcesses' \
  --benchmark_format=json --benchmark_out="$out/zone_memory.json" \
  --benchmark_out_format=json >/dev/null
echo "== Python" >&2
"$python" "$repo/bench/python_bench.py" "$builddir" --json "$out/python.json" >&2
echo "== Python middlewares" >&2
"$python" "$repo/bench/middleware_bench.py" "$builddir" --json "$out/python_middleware.json" >&2 ||
  echo "the Python middleware rows failed" >&2
echo "== Node.js" >&2
node "$repo/bench/node_bench.js" "$builddir" --json "$out/node.json" >&2
rm -f "$out/node_newest.json"
read -r newest newest_dir < <("$repo/scripts/fetch_node.sh" --newest)
if [[ "$newest_dir" != - ]]; then
  echo "== Node.js $newest" >&2
  PATH="$newest_dir:$PATH" node "$repo/bench/node_bench.js" "$builddir" --json "$out/node_newest.json" \
    --rows checkRequest,checkRequest_refused,middleware,middleware_refused >&2
else
  echo "Node $newest could not be fetched: its rows are left out" >&2
fi
echo "== wrk against node:http and Express servers" >&2
rm -f "$out/http.json"
if ! command -v wrk >/dev/null; then
  echo "wrk is not installed (Debian package wrk): the wrk rows are left out" >&2
else
  if [[ ! -d "$repo/node_modules/express" ]]; then
    (cd "$repo" && npm ci --no-audit --no-fund >&2) || echo "npm ci failed: the Express rows may be left out" >&2
  fi
  node "$repo/bench/http_bench.js" "$builddir" --json "$out/http.json" >&2 || echo "the wrk rows failed" >&2
fi
redis_rows "$builddir" "$out"

"$python" "$repo/bench/report.py" "$out"
