#!/usr/bin/env bash
# Runs the Python suite against one build of the library under every CPython
# from 3.8 up that pyenv has (or python3 when there is no pyenv).
# Usage: scripts/test_python.sh [builddir]   (default: build)
set -u

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
builddir="${1:-build}"
case "$builddir" in /*) ;; *) builddir="$repo/$builddir" ;; esac
export VORN_PYTHON_PATH="$builddir/python"
if [[ ! -f "$VORN_PYTHON_PATH/vorn_native.abi3.so" ]]; then
  echo "no library at $VORN_PYTHON_PATH/vorn_native.abi3.so; build first" >&2
  exit 2
fi

interpreters=()
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
while IFS= read -r dir; do
  [[ -x "$dir/bin/python3" ]] || continue
  minor="$(basename "$dir" | cut -d. -f2)"
  [[ "$minor" =~ ^[0-9]+$ ]] && (( minor >= 8 )) && interpreters+=("$dir/bin/python3")
done < <(ls -d "$pyenv_root"/versions/3.* 2>/dev/null | sort -V)
if (( ${#interpreters[@]} == 0 )); then
  interpreters=("$(command -v python3)")
fi

failed=()
for python in "${interpreters[@]}"; do
  echo "=== $("$python" -c 'import platform; print(platform.python_version())') ($python)"
  if ! "$python" -m unittest discover -s "$repo/tests/python" -p 'test_*.py' -t "$repo/tests/python"; then
    failed+=("$python")
  fi
done

if (( ${#failed[@]} > 0 )); then
  echo "FAILED under: ${failed[*]}" >&2
  exit 1
fi
echo "all ${#interpreters[@]} interpreters passed"
