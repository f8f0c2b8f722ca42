#!/usr/bin/env bash
# Runs the Node suite against one build of the library, under the first node on PATH.
# Usage: scripts/test_node.sh [builddir]   (default: build)
set -u

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
builddir="${1:-build}"
case "$builddir" in /*) ;; *) builddir="$repo/$builddir" ;; esac
export VORN_NODE_ADDON="$builddir/node/vorn_native.node"
export VORN_NAPIFLOOR="$builddir/bench/napifloor.node"
if [[ ! -f "$VORN_NODE_ADDON" ]]; then
  echo "no addon at $VORN_NODE_ADDON; build first" >&2
  exit 2
fi

echo "=== node $(node --version) ($VORN_NODE_ADDON)"
# Files, not the folder: from Node 22 on, --test takes its arguments as files or patterns.
exec node --expose-gc --test "$repo"/tests/node/*.test.js
