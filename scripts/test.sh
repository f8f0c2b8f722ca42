#!/usr/bin/env bash
# Builds the library and runs every test: the C++ core tests, the Python suite
# under every CPython from 3.8 on, and the Node suite, all against one build.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${VORN_BUILD_DIR:-build}

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_BUILD_TESTS=ON \
  -DVORN_BUILD_BENCH=ON -DVORN_SANITIZE=
cmake --build "$build_dir" -j"$(nproc)"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
scripts/test_python.sh "$build_dir"
scripts/test_node.sh "$build_dir"
echo "all tests passed"
