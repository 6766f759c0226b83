#!/usr/bin/env bash
# Builds the optimised module and host and runs the host on the bundled sample.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
build/release/parcel-host info
