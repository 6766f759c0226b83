#!/usr/bin/env bash
# Builds the optimised module and host, then packs the bundled sample folder
# through the module and shows the summary, the listing and the response.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release

out=build/demo
rm -rf "$out"
mkdir -p "$out"
build/release/parcel-host info
echo
build/release/parcel-host pack -v -o "$out/samples.zip" --response "$out/response.xml" samples
echo
echo "Response document ($out/response.xml):"
cat "$out/response.xml"
echo
echo
unzip -t "$out/samples.zip"
