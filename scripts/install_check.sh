#!/usr/bin/env bash
# Shows how the packages install on a machine view with less on it, in a
# private mount namespace where /usr is overlaid with a scratch layer (nothing
# outside the namespace changes):
#  1. With GoogleTest and Google Benchmark taken away: `npm pack` in a clean
#     clone of the repository makes a tarball that installs and answers, and
#     `pip install .` there installs a package that answers.
#  2. With cmake, g++, c++, cc (and every other C or C++ compiler) gone as
#     well: dist/'s x86-64 wheel installs into new virtual environments of
#     CPython 3.8 and 3.13, and dist/'s tarball into a new Node project, each
#     answering tests/dist/smoke_cases.json; the seconds of each install are
#     printed.
# Usage: scripts/install_check.sh   (as root, after scripts/dist.sh; about two minutes)
set -euo pipefail
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

if [[ "${1:-}" != "--inside" ]]; then
  if ((EUID != 0)); then
    echo "$0: needs root, for a private mount namespace" >&2
    exit 2
  fi
  scratch="$(mktemp -d)"
  trap 'rmdir "$scratch"' EXIT
  unshare --mount --propagation private "$0" --inside "$scratch"
  exit
fi

cd "$repo"
scratch="$2"
mount -t tmpfs install-check "$scratch"
mkdir -p "$scratch/layer/upper" "$scratch/layer/work"
mount -t overlay overlay -o "lowerdir=/usr,upperdir=$scratch/layer/upper,workdir=$scratch/layer/work" /usr
pyenv_root="${PYENV_ROOT:-$HOME/.pyenv}"
export PIP_ROOT_USER_ACTION=ignore PIP_DISABLE_PIP_VERSION_CHECK=1 npm_config_update_notifier=false
version="$(node -p 'require("./package.json").version')"
wheel="$(ls "$repo"/dist/vorn-"$version"-cp38-abi3-manylinux_*_x86_64.whl)"
tarball="$repo/dist/vorn-$version.tgz"

# Deletes the files under /usr of the named packages (in the overlay only).
take_away() {
  local package path
  for package in "$@"; do
    while IFS= read -r path; do
      if [[ ! -d "$path" || -L "$path" ]] && [[ "$path" == /usr/* ]]; then rm -f "$path"; fi
    done < <(dpkg-query -L "$package" 2>/dev/null || true)
  done
  echo "taken away: $*"
}

# Seconds since $1 (a `date +%s.%N`), to a tenth.
seconds_since() { awk -v start="$1" -v now="$(date +%s.%N)" 'BEGIN { printf "%.1f", now - start }'; }

# A new Node project at $1 with tarball $2 installed; runs the smoke answers there.
node_project() {
  local app="$1" started
  mkdir -p "$app" && cp "$repo"/tests/dist/smoke.js "$repo"/tests/dist/smoke_cases.json "$app/"
  (cd "$app" && npm init -y >/dev/null)
  started="$(date +%s.%N)"
  (cd "$app" && npm install --offline --no-audit --no-fund --silent "$2")
  echo "  npm install: $(seconds_since "$started") s"
  local answers
  answers="$(cd "$app" && node smoke.js answers | wc -l)"
  ((answers == 48)) || { echo "FAILED: $answers answers in $app, not 48" >&2; exit 1; }
  echo "  ok: node answers all 48 cases"
}

# The newest interpreter of one minor version under pyenv.
find_python() {
  local python
  python="$(ls -d "$pyenv_root"/versions/"$1".* 2>/dev/null | sort -V | tail -n1)/bin/python3"
  [[ -x "$python" ]] || { echo "no CPython $1 under $pyenv_root" >&2; exit 1; }
  echo "$python"
}

# Runs the smoke answers under interpreter $1 (of what $2 installed).
smoke_python() {
  local answers
  answers="$(cd "$scratch" && "$1" "$repo/tests/dist/smoke.py" answers | wc -l)"
  ((answers == 48)) || { echo "FAILED: $answers answers from $2, not 48" >&2; exit 1; }
  echo "  ok: $2 answers all 48 cases"
}

echo "== 1. npm pack in a clean clone, without GoogleTest or Google Benchmark"
take_away libgtest-dev libbenchmark-dev
for header in gtest/gtest.h benchmark/benchmark.h; do
  [[ ! -e "/usr/include/$header" ]] || { echo "FAILED: $header is still there" >&2; exit 1; }
done
git clone -q --no-local "$repo" "$scratch/clone"
(cd "$scratch/clone" && npm pack --silent --pack-destination "$scratch" >/dev/null 2>"$scratch/pack.log") ||
  { cat "$scratch/pack.log" >&2; echo "FAILED: npm pack in a clean clone" >&2; exit 1; }
node_project "$scratch/from-clone" "$scratch/vorn-$version.tgz"
python_313="$(find_python 3.13)"
"$python_313" -m venv "$scratch/venv-clone"
(cd "$scratch/clone" && "$scratch/venv-clone/bin/python" -m pip install -q --no-index --no-cache-dir . \
  2>"$scratch/pip.log") || { cat "$scratch/pip.log" >&2; echo "FAILED: pip install ." >&2; exit 1; }
smoke_python "$scratch/venv-clone/bin/python" "pip install . of the clean clone"
rm -rf "$scratch/clone" "$scratch/venv-clone"

echo "== 2. dist/'s packages with no compiler on the machine"
for tool in cmake g++ c++ cc gcc clang clang++ cpp x86_64-linux-gnu-g++ x86_64-linux-gnu-gcc \
    aarch64-linux-gnu-g++ aarch64-linux-gnu-gcc; do
  while path="$(command -v "$tool")"; do rm -f "$(readlink -f "$path")" "$path"; hash -r; done
done
for tool in cmake g++ c++ cc; do
  if command -v "$tool" >/dev/null; then echo "FAILED: $tool is still there" >&2; exit 1; fi
done
echo "  ok: no cmake, g++, c++ or cc"
for minor in 3.8 3.13; do
  "$(find_python "$minor")" -m venv "$scratch/venv-$minor"
  started="$(date +%s.%N)"
  "$scratch/venv-$minor/bin/python" -m pip install -q --no-index --no-cache-dir "$wheel"
  echo "  pip install into a CPython $minor venv: $(seconds_since "$started") s"
  smoke_python "$scratch/venv-$minor/bin/python" "CPython $minor"
done
node_project "$scratch/from-dist" "$tarball"
echo "install check passed"
