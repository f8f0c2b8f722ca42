#!/usr/bin/env bash
# Installs the Debian packages that the named runs need when any is missing,
# from the one list, scripts/debian-packages.txt: as root with apt-get; as any
# other user it prints the one command that installs them and fails.
# Usage: scripts/packages.sh RUN...         install what RUN... needs
#        scripts/packages.sh --list RUN...  print the names, installed or not
# RUN is library, demo, test, reliability or docs.
set -euo pipefail
list="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/debian-packages.txt"

list_only=false
if [[ "${1:-}" == "--list" ]]; then list_only=true; shift; fi
if (($# == 0)); then
  echo "usage: $0 [--list] RUN..." >&2
  exit 2
fi
runs="$(awk '!/^#/ && NF { for (i = 2; i <= NF; i++) print $i }' "$list" | sort -u)"
for run in "$@"; do
  if ! grep -qx -- "$run" <<<"$runs"; then
    echo "$0: no run named '$run' in $list (known: $(echo $runs))" >&2
    exit 2
  fi
done

mapfile -t wanted < <(awk -v runs=" $* " '!/^#/ && NF {
  for (i = 2; i <= NF; i++) if (index(runs, " " $i " ")) { print $1; next } }' "$list")
if $list_only; then
  printf '%s\n' "${wanted[@]}"
  exit 0
fi

# A removed package can leave its configuration behind, and dpkg then still
# knows it: only "ii" (wanted install, installed) counts.
missing=()
for package in "${wanted[@]}"; do
  status="$(dpkg-query -W -f='${db:Status-Abbrev}' "$package" 2>/dev/null || true)"
  [[ "$status" == ii* ]] || missing+=("$package")
done
((${#missing[@]} == 0)) && exit 0

if ((EUID != 0)); then
  echo "Missing Debian packages ($*): ${missing[*]}" >&2
  echo "Install them with this command, then run this again:" >&2
  echo "  sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "== installing the missing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}"
