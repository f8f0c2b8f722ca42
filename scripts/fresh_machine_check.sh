#!/usr/bin/env bash
# Shows what the README's two commands do on a machine that has only what the
# library needs. In a private mount namespace, /usr and /var/lib/dpkg are
# overlaid with scratch layers, and the packages of scripts/debian-packages.txt
# that the library does not need are taken away there: their files under /usr
# deleted and their dpkg records dropped. Nothing outside the namespace changes.
#  1. With the tests' and reliability runs' packages gone: configuring with the
#     tests fails (so they are really gone), and scripts/demo.sh builds the
#     library in a new directory and runs the whole demonstration.
#  2. With the demonstration's packages gone as well, as an ordinary user:
#     scripts/demo.sh and scripts/test.sh each print the one apt-get command
#     for exactly what they miss, and stop.
#  3. As root (apt-get replaced by a recorder that refuses to install):
#     scripts/test.sh updates the package lists and asks apt-get for exactly
#     what it misses.
# Needs root (for the namespace) and takes about a minute and a half, most of
# it the library's build.
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
mount -t tmpfs fresh-machine "$scratch"
for tree in /usr /var/lib/dpkg; do
  layer="$scratch/layers$tree"
  mkdir -p "$layer/upper" "$layer/work"
  mount -t overlay overlay -o "lowerdir=$tree,upperdir=$layer/upper,workdir=$layer/work" "$tree"
done

# The names of $1's packages that are not also $2's, in the list's order.
only_in() {
  scripts/packages.sh --list $1 | grep -vxF -f <(scripts/packages.sh --list $2) || true
}

# Deletes the packages' files (under /usr, which is all a build or a test can
# see of them) and their records, so that dpkg knows them as never installed.
take_away() {
  local package path
  for package in "$@"; do
    while IFS= read -r path; do
      if [[ ! -d "$path" || -L "$path" ]] &&
         [[ "$(readlink -f "$(dirname "$path")")/" == /usr/* ]]; then
        rm -f "$path"
      fi
    done < <(dpkg-query -L "$package" 2>/dev/null || true)
  done
  awk -v gone=" $* " 'BEGIN { RS = ""; ORS = "\n\n" }
    { split($0, field, "\n"); name = substr(field[1], 10) }
    field[1] !~ /^Package: / || !index(gone, " " name " ")' \
    /var/lib/dpkg/status >"$scratch/status"
  cat "$scratch/status" >/var/lib/dpkg/status
  echo "taken away: $*"
}

# Runs one of the two commands from a world-readable copy of scripts/ as
# nobody; it must fail and print the one command that installs exactly $1.
expect_install_command() {
  local expected="$1" command="$2" copy="$scratch/as-nobody" output
  rm -rf "$copy" && mkdir -p "$copy" && cp -r scripts "$copy/" && chmod -R a+rX "$scratch"
  if output="$(cd / && setpriv --reuid=nobody --regid=nogroup --clear-groups \
      "$copy/scripts/$command" 2>&1)"; then
    echo "$output"
    echo "FAILED: $command went on as an ordinary user with packages missing" >&2
    exit 1
  fi
  echo "$output"
  if ! grep -qxF "  sudo apt-get install -y $expected" <<<"$output"; then
    echo "FAILED: $command did not print the command that installs: $expected" >&2
    exit 1
  fi
}

echo "== 1. without the tests' and reliability runs' packages"
take_away $(only_in "test reliability" "library demo")
if cmake -S . -B "$scratch/with-tests" -DVORN_BUILD_TESTS=ON -DVORN_BUILD_BENCH=OFF \
    >"$scratch/with-tests.log" 2>&1 || ! grep -q GTest "$scratch/with-tests.log"; then
  cat "$scratch/with-tests.log"
  echo "FAILED: GoogleTest is still visible to CMake" >&2
  exit 1
fi
echo "ok: configuring with the tests fails for want of GoogleTest"
rm -rf build-fresh
VORN_BUILD_DIR=build-fresh scripts/demo.sh
rm -rf build-fresh

echo "== 2. without the demonstration's packages either, as an ordinary user"
take_away $(only_in demo library)
expect_install_command "$(only_in demo library | xargs)" demo.sh
expect_install_command "$(only_in test library | xargs)" test.sh

echo "== 3. scripts/test.sh as root installs what it misses"
mkdir -p "$scratch/bin"
cat >"$scratch/bin/apt-get" <<STUB
#!/bin/sh
echo "\$*" >>"$scratch/apt-get.log"
[ "\$1" = update ]
STUB
chmod +x "$scratch/bin/apt-get"
copy="$scratch/as-root"
mkdir -p "$copy" && cp -r scripts "$copy/"
if PATH="$scratch/bin:$PATH" "$copy/scripts/test.sh"; then
  echo "FAILED: scripts/test.sh went on although apt-get installed nothing" >&2
  exit 1
fi
expected="install -y -qq $(only_in test library | xargs)"
if [[ "$(cat "$scratch/apt-get.log")" != "update -qq"$'\n'"$expected" ]]; then
  echo "FAILED: apt-get was called as follows, not for: $expected" >&2
  cat "$scratch/apt-get.log" >&2
  exit 1
fi
echo "ok: apt-get update -qq, then apt-get $expected"
echo "fresh-machine check passed"
