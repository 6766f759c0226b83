#!/usr/bin/env bash
# The long soak run of the NI packing server: tests/ni_soak.py for a few
# minutes (default 180 s) against a build's parcel-host, its report (with the
# memory and descriptor samples) in build/<preset>/ni-soak.json.
#
# Usage: scripts/soak.sh [PRESET] [SECONDS] [ni_soak.py options...]
#   scripts/soak.sh sanitize 180      (the server under AddressSanitizer)
#   scripts/soak.sh release 600 --clients 800
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-sanitize}
seconds=${2:-180}
shift $(($# < 2 ? $# : 2))
nice -n 10 cmake --build "build/$preset" --target parcel-host parcel-host-serve parcel
if [[ $preset == sanitize ]]; then
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
fi
exec python3 tests/ni_soak.py --host "build/$preset/parcel-host" --seconds "$seconds" \
  --report "build/$preset/ni-soak.json" "$@"
