#!/usr/bin/env bash
# Builds parcel (release preset), the benchmark corpus and the peer programs,
# then times `parcel-host pack` against the zip tools people use, side by side
# in one run (bench/compare.py), and measures the peak memory of a request of
# about 1 GB. The report is printed and kept in build/bench-compare.md.
#
# Usage: bench/compare.sh [--runs N] [--sets mixed,small,large] [--no-memory]
set -euo pipefail
cd "$(dirname "$0")/.."

# Benchmark-only packages, installed when missing.
scripts/deps.sh gcc zip unzip libarchive-tools python3 libminizip-dev libzip-dev time

cmake --preset release >/dev/null
cmake --build --preset release --target parcel parcel-host

corpus=build/bench-corpus
[[ -f $corpus/MANIFEST ]] || bench/make_corpus.sh "$corpus"
echo "corpus fingerprint $(sha256sum "$corpus/MANIFEST" | cut -c 1-16)"

peers=build/bench-peers
mkdir -p "$peers"
gcc -O2 -Wall -o "$peers/minizip_pack" bench/peers/minizip_pack.c -lminizip
gcc -O2 -Wall -o "$peers/libzip_pack" bench/peers/libzip_pack.c -lzip

# Debian's own Python, so that zipfile uses Debian's zlib like the other peers.
exec /usr/bin/python3 bench/compare.py --corpus "$corpus" --parcel-host build/release/parcel-host \
  --peers "$peers" --report build/bench-compare.md "$@"
