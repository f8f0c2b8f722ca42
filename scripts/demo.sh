#!/usr/bin/env bash
# Builds the library and runs the demonstration: a real Python WSGI server and a
# real Node http server on loopback, each rate-limited by the library, get the
# same scripted bursts; one timeline line per run and server. Stops its servers.
# Needs only what the library needs; it installs what the demonstration itself
# uses when that is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${VORN_BUILD_DIR:-build}

# The demonstration's own Debian packages (the "demo" ones in
# scripts/debian-packages.txt), and the library's: installed when missing as
# root, otherwise the one command that installs them is printed and the demo stops.
install_what_the_demo_needs() {
  scripts/packages.sh library demo
}
install_what_the_demo_needs

# A new build directory is configured for the library alone: the tests and
# benchmarks, and what they need, stay out. One that exists is only built, so a
# directory that scripts/test.sh configured keeps its tests.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "building the library in $build_dir/ ..."
if ! { [[ -f "$build_dir/CMakeCache.txt" ]] ||
       cmake -S . -B "$build_dir" -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF; } >"$log" 2>&1 ||
   ! cmake --build "$build_dir" -j"$(nproc)" --target vorn_native >>"$log" 2>&1; then
  cat "$log" >&2
  echo "build failed" >&2
  exit 1
fi
python3 examples/demo.py "$build_dir"
