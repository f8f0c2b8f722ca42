#!/usr/bin/env bash
# CI's release step: scripts/dist.sh makes dist/, scripts/arm64_check.sh runs
# its arm64 half under qemu, and scripts/install_check.sh installs its x86-64
# half with no compiler on the machine (and packs a clean clone without
# GoogleTest). Prints the seconds of each.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
for step in dist arm64_check install_check; do
  started=$SECONDS
  "scripts/$step.sh"
  echo "== scripts/$step.sh took $((SECONDS - started)) s"
done
