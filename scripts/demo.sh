#!/usr/bin/env bash
# Builds the library and runs the demonstration: a real Python WSGI server and a
# real Node http server on loopback, each rate-limited by the library, get the
# same scripted bursts; one timeline line per run and server. Stops its servers.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${VORN_BUILD_DIR:-build}

# Configure only a new build directory, with the defaults, so that a later
# scripts/test.sh finds it configured as it expects.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
echo "building the library in $build_dir/ ..."
if ! { [[ -f "$build_dir/CMakeCache.txt" ]] || cmake -S . -B "$build_dir"; } >"$log" 2>&1 ||
   ! cmake --build "$build_dir" -j"$(nproc)" --target vorn_native >>"$log" 2>&1; then
  cat "$log" >&2
  echo "build failed" >&2
  exit 1
fi

# The several-workers part of the demo runs gunicorn (Debian's package).
ensure_gunicorn() {
  command -v gunicorn >/dev/null 2>&1 && return
  if (( EUID != 0 )); then
    echo "the demo needs gunicorn: apt-get install gunicorn (as root)" >&2
    exit 1
  fi
  echo "installing gunicorn with apt-get ..."
  if ! { apt-get update -qq &&
         DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gunicorn; } >"$log" 2>&1; then
    cat "$log" >&2
    echo "could not install gunicorn" >&2
    exit 1
  fi
}
ensure_gunicorn

python3 examples/demo.py "$build_dir"
