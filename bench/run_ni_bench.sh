#!/usr/bin/env bash
# Runs the network library's benchmarks: installs ZeroMQ and nng (through
# scripts/deps.sh), builds the release preset's ni_bench and ni_scale, runs
# the messaging comparison (repetitions in random order, medians) and then
# the many-connection run several times, and prints both summaries.
#
# Usage: bench/run_ni_bench.sh [--repetitions N] [--connections N]
#            [--scale-seconds S] [--scale-runs R] [--no-messaging] [--no-scale]
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build/release
repetitions=5
connections=10000
scale_seconds=60
scale_runs=3
messaging=1
scale=1
while (($#)); do
  case $1 in
    --repetitions) repetitions=$2; shift 2 ;;
    --connections) connections=$2; shift 2 ;;
    --scale-seconds) scale_seconds=$2; shift 2 ;;
    --scale-runs) scale_runs=$2; shift 2 ;;
    --no-messaging) messaging=0; shift ;;
    --no-scale) scale=0; shift ;;
    *) echo "usage: $0 [--repetitions N] [--connections N] [--scale-seconds S] [--scale-runs R] [--no-messaging] [--no-scale]" >&2; exit 2 ;;
  esac
done

"$root/scripts/deps.sh" libzmq3-dev libnng-dev time
[[ -f $build/build.ninja ]] || cmake --preset release -S "$root" >/dev/null
cmake -S "$root" -B "$build" >/dev/null  # picks up libraries installed since the last configure
nice -n 10 cmake --build "$build" --target ni_bench ni_scale

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

if ((messaging)); then
  "$build/ni_bench" --benchmark_repetitions="$repetitions" --benchmark_min_time=1 \
    --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
    --benchmark_out="$out/ni_bench.json" --benchmark_out_format=json >/dev/null 2>"$out/ni_bench.err"
  echo "load average after messaging: $(cut -d' ' -f1-3 /proc/loadavg)"
  python3 - "$out/ni_bench.json" <<'PY'
import json, re, sys
medians = {}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("aggregate_name") != "median":
        continue
    m = re.match(r"(RoundTrip|OneWay1MiB)/(\w+)(?:/(\d+))?", b["run_name"])
    medians[(m.group(1), m.group(2), m.group(3))] = b
names = ["plain_socket", "ni_plain", "ni_buffered", "zeromq", "nng"]
sizes = [("64", "64 B"), ("4096", "4 KiB"), ("1048576", "1 MiB")]
def rows(title, cell):
    print(f"\n{title}")
    print("| library | " + " | ".join(s for _, s in sizes) + " |")
    print("|---" * (len(sizes) + 1) + "|")
    for name in names:
        if ("RoundTrip", name, "64") not in medians:
            print(f"| {name} | not built |")
            continue
        cells = [cell(medians[("RoundTrip", name, size)], medians[("RoundTrip", "plain_socket", size)])
                 for size, _ in sizes]
        print(f"| {name} | " + " | ".join(cells) + " |")
rows("round trips per second, median of the repetitions (and against plain sockets)",
     lambda b, base: f"{b['rt/s']:,.0f} ({b['rt/s'] / base['rt/s']:.2f}×)")
rows("latency of one round trip, p50 / p99 in µs, medians (and p50 against plain sockets)",
     lambda b, base: f"{b['p50_us']:.1f} / {b['p99_us']:.1f} ({b['p50_us'] / base['p50_us']:.2f}×)")
print("\none-way 1 MiB messages, median of the repetitions (and against plain sockets)")
for name in names:
    b = medians.get(("OneWay1MiB", name, None))
    if b:
        base = medians[("OneWay1MiB", "plain_socket", None)]
        print(f"| {name} | {b['bytes_per_second'] / 2**30:.2f} GiB/s "
              f"({b['bytes_per_second'] / base['bytes_per_second']:.2f}×) |")
PY
fi

if ((scale)); then
  # Both ends of every connection are descriptors of this machine: the
  # server holds one per connection, the client process the other.
  ulimit -n "$(ulimit -Hn)"
  echo
  echo "many connections: $connections connections, one message a second each for ${scale_seconds} s, $scale_runs runs (descriptor limit $(ulimit -n))"
  for ((run = 1; run <= scale_runs; ++run)); do
    /usr/bin/time -f "server: %U s user, %S s system, peak resident %M KiB" \
      "$build/ni_scale" server --connections "$connections" >"$out/server$run.txt" 2>&1 &
    server=$!
    for _ in $(seq 50); do
      grep -q '^port ' "$out/server$run.txt" && break
      sleep 0.1
    done
    port=$(awk '/^port /{print $2; exit}' "$out/server$run.txt")
    status=0
    "$build/ni_scale" clients --port "$port" --connections "$connections" \
      --seconds "$scale_seconds" >"$out/clients$run.txt" 2>&1 || status=$?
    if ! wait "$server"; then status=1; fi
    echo "run $run (load $(cut -d' ' -f1-3 /proc/loadavg)):"
    sed 's/^/  /' "$out/clients$run.txt" "$out/server$run.txt" | grep -v '^  port '
    [[ $status -eq 0 ]] || echo "  run $run: failures (see above)"
  done
  python3 - "$out"/clients*.txt <<'PY'
import statistics, sys
runs = []
for path in sys.argv[1:]:
    for line in open(path):
        if line.startswith("result "):
            runs.append(dict(kv.split("=") for kv in line.split()[1:]))
if runs:
    med = lambda key: statistics.median(float(r[key]) for r in runs)
    lost = sum(int(r["connect_failed"]) + int(r["dropped"]) for r in runs)
    missing = sum(int(r["missing"]) for r in runs)
    print(f"median of {len(runs)} runs: p50 {med('p50_us') / 1000:.3f} ms, "
          f"p99 {med('p99_us') / 1000:.3f} ms, max {med('max_us') / 1000:.3f} ms; "
          f"connections failed or dropped: {lost}, echoes missing: {missing}")
PY
fi
