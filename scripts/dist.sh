#!/usr/bin/env bash
# Makes the release artefacts in dist/:
#   vorn-<version>-cp38-abi3-manylinux_<glibc>_x86_64.whl and ..._aarch64.whl
#   vorn-<version>.tgz, the npm package, with prebuilds/linux-x64 and linux-arm64
#   vorn_native-<version>.<arch>.debug, the symbols of each arch's library
# Each arch's library is one Release build (arm64 cross-compiled with Debian's
# g++-aarch64-linux-gnu), stripped, serving as both the Python module and the
# Node addon. The build fails when a library needs a newer glibc than the tags
# name, any shared C++ runtime, or when a package outgrows its size budget.
# Build directories: build-dist-x86_64 and build-dist-aarch64.
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"

# The oldest glibc the libraries run on: the floor of the tags and of the
# platform checks in js/index.js and vorn/_native.py.
GLIBC_FLOOR=2.34
MAX_WHEEL_BYTES=$((1024 * 1024))
MAX_TARBALL_BYTES=$((2 * 1024 * 1024))

for file in js/index.js vorn/_native.py; do
  if ! grep -q "GLIBC_FLOOR = '$GLIBC_FLOOR'\|GLIBC_FLOOR = \"$GLIBC_FLOOR\"" "$file"; then
    echo "dist: $file names another glibc floor than $GLIBC_FLOOR" >&2
    exit 1
  fi
done

scripts/packages.sh library reliability
# Without Node's headers the library would build as a Python module alone.
if [[ ! -f /usr/include/node/node_api.h ]]; then
  echo "dist: /usr/include/node/node_api.h is missing; the npm package needs the addon" >&2
  exit 1
fi
cache="$(scripts/fetch_arm64.sh)"
version="$(python3 -c 'import re; print(re.search(r"^__version__ = \"([^\"]+)\"", open("vorn/__init__.py").read(), re.M).group(1))')"
npm_version="$(node -p 'require("./package.json").version')"
if [[ "$version" != "$npm_version" ]]; then
  echo "dist: vorn/__init__.py says $version, package.json $npm_version" >&2
  exit 1
fi
jobs="$(nproc)"
rm -rf dist prebuilds
mkdir -p dist

# Builds one arch's library and leaves it stripped in build-dist-$1/release/.
build_arch() {
  local arch="$1" tools="$2"
  shift 2
  local dir="build-dist-$arch"
  cmake -S . -B "$dir" --no-warn-unused-cli -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS=-g \
    -DVORN_BUILD_TESTS=OFF -DVORN_BUILD_BENCH=OFF "$@" >/dev/null
  cmake --build "$dir" --target vorn_native -j"$jobs" >/dev/null
  local debug="vorn_native-$version.$arch.debug" out="$dir/release/vorn_native.so"
  mkdir -p "$dir/release"
  "${tools}objcopy" --only-keep-debug "$dir/vorn_native.so" "dist/$debug"
  "${tools}strip" --strip-unneeded -o "$out" "$dir/vorn_native.so"
  (cd dist && "${tools}objcopy" --add-gnu-debuglink="$debug" "$repo/$out")
  python3 scripts/check_glibc.py "$GLIBC_FLOOR" "$out"
  # And the check can fail: no binary of this arch runs on glibc 2.0.
  if python3 scripts/check_glibc.py 2.0 "$out" >/dev/null 2>&1; then
    echo "dist: scripts/check_glibc.py found no glibc need in $out" >&2
    exit 1
  fi
}

echo "== x86-64"
build_arch x86_64 ""
echo "== arm64 (cross-compiled)"
build_arch aarch64 aarch64-linux-gnu- -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  -DVORN_PYTHON_INCLUDE="$cache/include/python3.11"

echo "== wheels"
tag="manylinux_${GLIBC_FLOOR/./_}"
for arch in x86_64 aarch64; do
  python3 - "$repo/build-dist-$arch/release/vorn_native.so" "${tag}_$arch" <<'PY'
import sys
sys.path.insert(0, "build_backend")
import vorn_build_backend
name = vorn_build_backend.build_wheel("dist", {"library": sys.argv[1], "platform-tag": sys.argv[2]})
print("  " + name)
PY
done

echo "== npm tarball"
mkdir -p prebuilds/linux-x64 prebuilds/linux-arm64
cp build-dist-x86_64/release/vorn_native.so prebuilds/linux-x64/vorn_native.node
cp build-dist-aarch64/release/vorn_native.so prebuilds/linux-arm64/vorn_native.node
VORN_PREBUILDS=ready npm pack --silent --pack-destination dist >/dev/null
rm -rf prebuilds
contents="$(tar -tzf "dist/vorn-$version.tgz")"
for platform in linux-x64 linux-arm64; do
  grep -qx "package/prebuilds/$platform/vorn_native.node" <<<"$contents"
done

echo "== sizes"
too_big=false
for artefact in dist/*.whl dist/*.tgz; do
  bytes="$(stat -c %s "$artefact")"
  limit=$MAX_WHEEL_BYTES
  [[ "$artefact" == *.tgz ]] && limit=$MAX_TARBALL_BYTES
  printf '  %-60s %8d bytes (at most %d)\n' "$(basename "$artefact")" "$bytes" "$limit"
  ((bytes <= limit)) || too_big=true
done
if $too_big; then echo "dist: a package is over its size budget" >&2; exit 1; fi
ls -l dist
