#!/usr/bin/env bash
# The full test run: the Linux sanitizer build (unit, integration and fuzz
# tests), then the Windows cross build with its tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

cmake --preset sanitize >/dev/null
cmake --build --preset sanitize
ctest --preset sanitize

# The Windows tests run in a Wine prefix of their own under build/windows;
# the test run starts one wineserver for all of them and stops it at the end.
cmake --preset windows >/dev/null
cmake --build --preset windows
ctest --preset windows
