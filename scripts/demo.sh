#!/usr/bin/env bash
# Builds the library and shows it deciding requests in both hosts from the one file.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${VORN_BUILD_DIR:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target vorn_native
VORN_PYTHON_PATH="$build_dir/python" python3 examples/demo.py
VORN_NODE_ADDON="$PWD/$build_dir/node/vorn_native.node" node examples/demo.js
