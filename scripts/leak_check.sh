#!/usr/bin/env bash
# Leak checks of the library in both hosts, on an ordinary (unsanitised) build:
#  - Python under valgrind memcheck with PYTHONMALLOC=malloc: checks across all
#    four algorithms and three modes, with and without an API key, engines
#    created and destroyed, every documented error path taken repeatedly; no
#    definite or indirect leak (and no memory error) whose stack passes
#    through the library;
#  - Node with --expose-gc: the same churn, and resident memory back to within
#    10% after collection.
# Usage: scripts/leak_check.sh [checks] [engines] [error_rounds] [node_rounds]
#        (defaults 100000 1000 200 20; the build goes to build-rel/plain)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
build_dir=build-rel/plain
checks="${1:-100000}" engines="${2:-1000}" error_rounds="${3:-200}" node_rounds="${4:-20}"

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_BUILD_TESTS=OFF \
  -DVORN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j2 --target vorn_native

report="$(mktemp --suffix=.xml)"
trap 'rm -f "$report"' EXIT
# valgrind must run the interpreter itself, not a launcher script in front of it.
python="$(python3 -c 'import sys; print(sys.executable)')"
echo "== valgrind memcheck: $python"
PYTHONMALLOC=malloc VORN_PYTHON_PATH="$repo/$build_dir/python" \
  valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
  --num-callers=50 --xml=yes --xml-file="$report" \
  "$python" tests/reliability/churn_python.py "$checks" "$engines" "$error_rounds"
python3 tests/reliability/valgrind_report.py "$report"

# Before 3.9 a `**` dict reaches the binding as the caller's own: the churn's
# arguments-dropped-while-binding case only means something there.
python38="$(ls -d "$HOME"/.pyenv/versions/3.8.*/bin/python3.8 2>/dev/null | tail -n 1 || true)"
if [[ -n "$python38" ]]; then
  echo "== valgrind memcheck: $python38 (shorter churn)"
  PYTHONMALLOC=malloc VORN_PYTHON_PATH="$repo/$build_dir/python" \
    valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite,indirect \
    --num-callers=50 --xml=yes --xml-file="$report" \
    "$python38" tests/reliability/churn_python.py $((checks / 10)) $((engines / 10)) \
    $((error_rounds / 10 + 1))
  python3 tests/reliability/valgrind_report.py "$report"
else
  echo "== no CPython 3.8 under ~/.pyenv: its valgrind run is skipped"
fi

echo "== node churn with collection"
VORN_NODE_ADDON="$repo/$build_dir/node/vorn_native.node" \
  node --expose-gc tests/reliability/churn_node.js "$node_rounds" 1000
