#!/usr/bin/env bash
# Packaging checks, all offline: `pip install --no-index .` into fresh venvs of
# CPython 3.8 and 3.13 (build isolation on), an sdist that builds a wheel, that
# wheel importing under every pyenv CPython from 3.8 up, and `npm pack` giving a
# tarball that installs into a scratch folder and works with require.
# Usage: scripts/test_packaging.sh [builddir]   (the build npm pack reuses; default: build)
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
builddir="${1:-build}"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1

# The interpreter of one minor version: pyenv's, else python3.N on PATH.
find_python() {
  local dir
  dir="$(ls -d "$pyenv_root"/versions/"$1".* 2>/dev/null | sort -V | tail -n1)"
  if [[ -n "$dir" && -x "$dir/bin/python3" ]]; then echo "$dir/bin/python3"; return; fi
  command -v "python$1" || true
}

# What an installed vorn must do; run from the scratch folder, never the repository.
check_installed() {
  (cd "$scratch" && "$1" - <<'PY'
import importlib.util, os, sys
import vorn_native
assert vorn_native.__all__ == ["RustEngine"], vorn_native.__all__
engine = vorn_native.RustEngine("fixed_window", "active", 1, 0.0, None, None, "http://localhost:4000")
assert engine.check("10.0.0.1", "/")["allowed"] and not engine.check("10.0.0.1", "/")["allowed"]
import vorn
assert "site-packages" in vorn.__file__ or "/t-" in vorn.__file__, vorn.__file__
status = []
app = vorn.WSGIMiddleware(lambda e, s: s("200 OK", []) or [b""], vorn.create_engine(capacity=1))
for _ in range(2):
    app({"REMOTE_ADDR": "::ffff:10.0.0.1", "PATH_INFO": "/"}, lambda st, h: status.append(st[:3]))
assert status == ["200", "429"], status
zone = "vorn-pack-%d" % os.getpid()
assert type(vorn.create_engine(zone=zone)) is vorn_native.ZoneEngine and vorn.remove_zone(zone)
two_rates = vorn.create_engine("fixed_window", limit="1/second; 5/hour")
assert two_rates.check_limits("10.0.0.1", "/", cost=0)["allowed"] and len(two_rates.policies) == 2
root = os.path.dirname(vorn_native.__file__)
for typed in ("vorn_native.pyi", "vorn_native-stubs/__init__.pyi", "vorn/py.typed"):
    assert os.path.isfile(os.path.join(root, typed)), typed
from vorn import redis_engine  # the Redis engines find their scripts in the package
assert all(redis_engine.script_text(name) for name in
           ("token_bucket", "sliding_window", "fixed_window", "leaky_bucket", "limits"))
print("  ok: %s imports %s" % (sys.version.split()[0], vorn_native.__file__))
PY
  )
}

echo "== pip install --no-index . into fresh venvs"
for minor in 3.8 3.13; do
  python="$(find_python "$minor")"
  if [[ -z "$python" ]]; then echo "no CPython $minor found" >&2; exit 1; fi
  "$python" -m venv "$scratch/venv-$minor"
  (cd "$repo" && "$scratch/venv-$minor/bin/python" -m pip install -q --no-index --no-cache-dir .)
  grep -qx "Tag: cp38-abi3-linux_x86_64" "$scratch"/venv-"$minor"/lib/python*/site-packages/vorn-*.dist-info/WHEEL
  check_installed "$scratch/venv-$minor/bin/python"
done

echo "== sdist, and a wheel built from it"
builder="$scratch/venv-3.13/bin/python"
sdist="$(cd "$repo" && "$builder" -c "import sys; sys.path.insert(0, 'build_backend'); import vorn_build_backend as b; print(b.build_sdist(sys.argv[1]))" "$scratch/dist")"
tar -xzf "$scratch/dist/$sdist" -C "$scratch/dist"
"$builder" -m pip wheel -q --no-index --no-cache-dir -w "$scratch/dist" "$scratch/dist/${sdist%.tar.gz}"
wheel="$(ls "$scratch"/dist/vorn-*-cp38-abi3-linux_x86_64.whl)"
(cd "$scratch/dist" && "$builder" - "$wheel" <<'PY'
import base64, hashlib, sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as wheel:
    record = [line.split(",") for line in wheel.read("vorn-0.1.0.dist-info/RECORD").decode().splitlines()]
    names = set(wheel.namelist())
    assert {row[0] for row in record} == names, names ^ {row[0] for row in record}
    for name, digest, size in record:
        if digest:
            data = wheel.read(name)
            assert digest == "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode(), name
            assert int(size) == len(data), name
print("  ok: RECORD matches all %d files" % len(names))
PY
)

echo "== the wheel under every CPython from 3.8 up"
while IFS= read -r dir; do
  minor="$(basename "$dir" | cut -d. -f2)"
  [[ "$minor" =~ ^[0-9]+$ ]] && (( minor >= 8 )) && [[ -x "$dir/bin/python3" ]] || continue
  target="$scratch/t-3.$minor"
  "$dir/bin/python3" -m pip install -q --no-index --no-deps --target "$target" "$wheel"
  PYTHONPATH="$target" check_installed "$dir/bin/python3"
done < <(ls -d "$pyenv_root"/versions/3.* 2>/dev/null | sort -V)

echo "== npm pack, then npm install into a scratch folder, offline"
mkdir -p "$scratch/npm/app"
if ! (cd "$repo" && VORN_BUILD_DIR="$builddir" npm pack --silent --pack-destination "$scratch/npm") \
    >"$scratch/npm/pack.log" 2>&1; then
  cat "$scratch/npm/pack.log" >&2
  exit 1
fi
if [[ -e "$repo/prebuilds" ]]; then echo "postpack left prebuilds/" >&2; exit 1; fi
tarball="$(ls "$scratch"/npm/vorn-*.tgz)"
contents="$(tar -tzf "$tarball")"
grep -qx "package/prebuilds/linux-x64/vorn_native.node" <<<"$contents"
for script in token_bucket sliding_window fixed_window leaky_bucket limits; do
  grep -qx "package/lua/$script.lua" <<<"$contents"
done
cd "$scratch/npm/app"
npm init -y >/dev/null
npm install --offline --no-audit --no-fund --silent "$tarball"
node - <<'JS'
const assert = require('node:assert');
const vorn = require('vorn');
const pkg = require('vorn/package.json');
assert.deepStrictEqual(Object.keys(vorn).sort(),
  ['ClientAddressResolver', 'RateLimitError', 'VornNode', 'VornZoneNode', 'canonicalAddress',
    'createEngine', 'createRateLimiter', 'defaultLimit', 'metrics', 'parseLimit', 'processCounts',
    'rateLimit', 'removeZone', 'zoneCounts', 'zoneStats']);
// Every file the package's modules load is packed (prom-client, an optional peer, is not).
assert.strictEqual(typeof vorn.metrics.register, 'function');
assert.strictEqual(typeof require('vorn/fastify'), 'function');
for (const file of ['redis_engine', 'redis_urls', 'redis_core', 'redis_clients', 'refusal_log', 'counts']) {
  require.resolve(`vorn/js/${file}.js`);
}
const zone = `vorn-pack-${process.pid}`;
assert.ok(vorn.createEngine({ zone }) instanceof vorn.VornZoneNode && vorn.removeZone(zone));
require.resolve(`vorn/${pkg.types}`);
const first = new vorn.VornNode({ capacity: 1, refillRate: 0 }).checkRequest('10.0.0.1', '/', Date.now());
assert.strictEqual(first.allowed, true);
const twoRates = vorn.createEngine({ algorithm: 'fixed_window', limit: '1/second; 5/hour' });
assert.deepStrictEqual([twoRates.checkLimits('10.0.0.1', '/', 0, 0).allowed, twoRates.policies.length],
  [true, 2]);
const limit = vorn.createRateLimiter({ config: { capacity: 1, refillRate: 0 } });
const req = { socket: { remoteAddress: '::ffff:10.0.0.1' }, headers: {}, url: '/' };
const res = { writeHead(status) { this.status = status; }, end() {} };
assert.deepStrictEqual([limit.admit(req, res), limit.admit(req, res), res.status], [true, false, 429]);
console.log(`  ok: node ${process.version} requires vorn from ${require.resolve('vorn')}`);
JS
echo "packaging checks passed"
