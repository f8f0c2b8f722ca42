#!/usr/bin/env bash
# Builds the documentation site from docs/ with MkDocs, strictly: a broken link
# or a page missing from the navigation fails the build.
# Usage: scripts/docs.sh [SITE_DIR]    (default: build/site)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/packages.sh docs
site_dir=${1:-build/site}
mkdir -p "$(dirname "$site_dir")"
mkdocs build --strict --clean --site-dir "$site_dir"
echo "docs built into $site_dir"
