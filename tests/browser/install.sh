#!/bin/sh
# Installs the browser test's npm packages (playwright-core, no browser of its
# own) into DIR: once, and again when the lock file changes.
# usage: install.sh DIR
set -eu
src=$(cd "$(dirname "$0")" && pwd)
dir=$1
mkdir -p "$dir"
if cmp -s "$src/package-lock.json" "$dir/installed.lock" && [ -d "$dir/node_modules/playwright-core" ]; then
  exit 0
fi
cp "$src/package.json" "$src/package-lock.json" "$dir/"
cd "$dir"
npm ci --no-audit --no-fund --loglevel=error
cp package-lock.json installed.lock
