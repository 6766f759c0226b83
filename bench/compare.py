#!/usr/bin/env python3
"""Side-by-side timing of `parcel-host pack` and the zip tools people use.

Every tool packs the same files of each corpus set (bench/make_corpus.sh) at
deflate level 6, as a whole process started from here, with the file names on
standard input. After one warm-up run of every tool, the tools take turns run
by run, so that a change in the machine's load hits all of them alike. The
report gives per set and tool the median wall time, the throughput over the
input bytes, the archive size, the ratio of each tool's median time to
parcel's, and the peak resident memory. Every archive of the last run must
pass `unzip -t` and hold every file.

Usage: bench/compare.py --corpus DIR --parcel-host FILE --peers DIR [--runs N]
(bench/compare.sh builds everything and calls this.)
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SETS = ("mixed", "small", "large")


def tools(args, here):
    """Name and command of every tool; {out} is the archive to write."""
    python = sys.executable
    return [
        ("parcel-host pack", [args.parcel_host, "pack", "-q", "-@", "-o", "{out}"]),
        ("minizip", [os.path.join(args.peers, "minizip_pack"), "{out}", "6"]),
        ("bsdtar --format zip",
         ["bsdtar", "--format", "zip", "--options", "zip:compression-level=6", "-cf", "{out}",
          "-T", "-"]),
        ("zip -6 (Info-ZIP)", ["zip", "-6", "-q", "-X", "-@", "{out}"]),
        ("Python zipfile -6", [python, os.path.join(here, "peers", "zipfile_pack.py"), "{out}", "6"]),
        ("libzip -6", [os.path.join(args.peers, "libzip_pack"), "{out}", "6"]),
    ]


def cpu_busy_jiffies():
    """Busy and total jiffies of all CPUs since boot."""
    with open("/proc/stat") as f:
        fields = [int(x) for x in f.readline().split()[1:]]
    idle = fields[3] + fields[4]
    return sum(fields) - idle, sum(fields)


def run_once(command, cwd, names, out):
    """Runs one tool; wall seconds, peak RSS in KiB and CPU seconds."""
    if os.path.exists(out):
        os.remove(out)
    argv = [a.replace("{out}", out) for a in command]
    # GNU time forks the tool itself, so the peak memory it reports is the
    # tool's (plus time's own megabyte), not that of this Python process.
    usage_file = out + ".usage"
    timed = ["/usr/bin/time", "-f", "%M %U %S", "-o", usage_file] + argv
    with open(names, "rb") as stdin:
        start = time.perf_counter()
        proc = subprocess.run(timed, cwd=cwd, stdin=stdin, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE)
        elapsed = time.perf_counter() - start
    if proc.returncode != 0:
        sys.exit(f"{argv[0]} failed with {proc.returncode} in {cwd}:\n"
                 f"{proc.stderr.decode(errors='replace')}")
    with open(usage_file) as f:
        peak, user, system = f.read().split()[-3:]
    os.remove(usage_file)
    return elapsed, int(peak), float(user) + float(system)


def check_archive(path, expected_entries):
    test = subprocess.run(["unzip", "-tq", path], capture_output=True, text=True)
    if test.returncode != 0:
        sys.exit(f"unzip -t rejects {path}:\n{test.stdout}{test.stderr}")
    listing = subprocess.run(["unzip", "-Z1", path], capture_output=True, text=True, check=True)
    entries = len(listing.stdout.splitlines())
    if entries != expected_entries:
        sys.exit(f"{path} holds {entries} entries instead of {expected_entries}")


def memory_peak(command, corpus, work, say):
    """Peak resident memory of parcel-host packing about 1 GB in one request."""
    # Five copies of the mixed and large sets under distinct names: symbolic
    # links, so the page cache holds each file once.
    folder = os.path.join(work, "memory")
    os.mkdir(folder)
    names = []
    total = 0
    for copy in range(5):
        for set_name in ("mixed", "large"):
            set_dir = os.path.join(corpus, set_name)
            for name in sorted(os.listdir(set_dir)):
                link = f"c{copy}_{name}"
                os.symlink(os.path.join(set_dir, name), os.path.join(folder, link))
                names.append(link)
                total += os.path.getsize(os.path.join(set_dir, name))
    names_file = os.path.join(work, "memory.names")
    with open(names_file, "w") as f:
        f.write("".join(name + "\n" for name in names))
    out = os.path.join(work, "memory.zip")
    elapsed, peak_kib, _ = run_once(command, folder, names_file, out)
    archive = os.path.getsize(out)
    check_archive(out, len(names))
    os.remove(out)
    peak = peak_kib * 1024
    say(f"**Peak memory** of one request: {total / 1e6:.0f} MB in {len(names)} files, "
        f"archive {archive / 1e6:.0f} MB, packed in {elapsed:.1f} s "
        f"({total / 1e6 / elapsed:.0f} MB/s). parcel-host's peak resident memory: "
        f"{peak / 1e6:.0f} MB = the input + {(peak - total) / archive:.2f} times the archive.")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", required=True)
    parser.add_argument("--parcel-host", required=True)
    parser.add_argument("--peers", required=True, help="folder of minizip_pack and libzip_pack")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--sets", default=",".join(SETS))
    parser.add_argument("--report", help="also write the report (markdown) here")
    parser.add_argument("--no-memory", action="store_true",
                        help="skip the peak memory of a request of about 1 GB")
    args = parser.parse_args()
    args.parcel_host = os.path.abspath(args.parcel_host)
    args.peers = os.path.abspath(args.peers)
    corpus = os.path.abspath(args.corpus)
    all_tools = tools(args, here)
    work = tempfile.mkdtemp(prefix="parcel-compare-")

    lines = []

    def say(text=""):
        print(text, flush=True)
        lines.append(text)

    load_before = open("/proc/loadavg").read().split()[:3]
    busy0, total0 = cpu_busy_jiffies()
    own_cpu = 0.0
    started = time.time()
    results = {}
    for set_name in args.sets.split(","):
        set_dir = os.path.join(corpus, set_name)
        files = sorted(os.listdir(set_dir))
        names = os.path.join(work, set_name + ".names")
        with open(names, "w") as f:
            f.write("".join(name + "\n" for name in files))
        size = sum(os.path.getsize(os.path.join(set_dir, name)) for name in files)
        for name in files:  # into the page cache
            with open(os.path.join(set_dir, name), "rb") as f:
                while f.read(1 << 20):
                    pass
        times = {tool: [] for tool, _ in all_tools}
        peaks = {tool: 0 for tool, _ in all_tools}
        out = {tool: os.path.join(work, f"{set_name}-{i}.zip") for i, (tool, _) in enumerate(all_tools)}
        for tool, command in all_tools:  # warm-up
            _, _, cpu = run_once(command, set_dir, names, out[tool])
            own_cpu += cpu
        for run in range(args.runs):
            # Each run starts with another tool, so none always follows the same one.
            order = all_tools[run % len(all_tools):] + all_tools[:run % len(all_tools)]
            for tool, command in order:
                elapsed, peak, cpu = run_once(command, set_dir, names, out[tool])
                times[tool].append(elapsed)
                peaks[tool] = max(peaks[tool], peak)
                own_cpu += cpu
        for tool, _ in all_tools:
            check_archive(out[tool], len(files))
        results[set_name] = (len(files), size, times, peaks,
                             {tool: os.path.getsize(out[tool]) for tool in out})
    elapsed = time.time() - started
    busy1, total1 = cpu_busy_jiffies()
    load_after = open("/proc/loadavg").read().split()[:3]
    hz = os.sysconf("SC_CLK_TCK")
    cores = os.cpu_count()
    busy_cores = (busy1 - busy0) / hz / elapsed
    other_cores = max(0.0, busy_cores - own_cpu / elapsed)

    say(f"Median of {args.runs} runs after one warm-up, level 6, files in page cache; "
        f"{cores} cores.")
    say(f"Machine load: load average {' '.join(load_before)} before, {' '.join(load_after)} "
        f"after; other processes kept {other_cores:.2f} of {cores} cores busy on average "
        f"during the {elapsed:.0f} s run.")
    for set_name, (count, size, times, peaks, sizes) in results.items():
        parcel_time = statistics.median(times["parcel-host pack"])
        zlib6 = sizes["minizip"]
        say()
        say(f"**{set_name}**: {count} files, {size / 1e6:.1f} MB")
        say()
        say("| tool | median s | MB/s | archive bytes | vs zlib-6 size | time / parcel's | peak RSS MB |")
        say("|---|---:|---:|---:|---:|---:|---:|")
        for tool, _ in all_tools:
            t = statistics.median(times[tool])
            say(f"| {tool} | {t:.3f} | {size / 1e6 / t:.1f} | {sizes[tool]} | "
                f"{sizes[tool] / zlib6 * 100:.2f}% | {t / parcel_time:.2f} | "
                f"{peaks[tool] / 1024:.0f} |")
        fastest_name, fastest_peer = min(
            ((tool, statistics.median(times[tool])) for tool, _ in all_tools[1:]),
            key=lambda item: item[1])
        # Run k of every tool was taken in the same turn, so the ratio within
        # one turn shows how far the machine's changing speed moves the margin.
        per_run = sorted(peer / mine for peer, mine in
                         zip(times[fastest_name], times["parcel-host pack"]))
        say()
        say(f"parcel is {fastest_peer / parcel_time:.2f} times as fast as the fastest peer "
            f"({fastest_name}; {per_run[0]:.2f} to {per_run[-1]:.2f} within single turns); "
            f"its archive is {sizes['parcel-host pack'] / zlib6 * 100:.2f}% of minizip's "
            f"(zlib level 6). All archives pass unzip -t.")
    if not args.no_memory:
        say()
        memory_peak(all_tools[0][1], corpus, work, say)
    shutil.rmtree(work)
    if args.report:
        with open(args.report, "w") as f:
            f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
