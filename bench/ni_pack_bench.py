#!/usr/bin/env python3
"""Packing over the network library against packing in process and over HTTP.

  ni_pack_bench.py --host build/release/parcel-host whole build/bench-corpus/mixed
      The whole set as one request, in turns (each in a new order):
      `parcel-host pack` loading the module (local), `parcel-host pack --ni`
      against a server, and, from this process with the request prepared
      beforehand, the same request over one NI connection and to HTTP
      /process on a new connection, and the files as an HTTP upload
      (/compress, then the archive downloaded) to the same server. Prints
      seconds (median, least and most of --rounds) and MB/s of input per way.

  ni_pack_bench.py --host build/release/parcel-host files build/bench-corpus/small
      Every file of the set (or the first --limit) as a request of its own:
      one process per request (`pack` and `pack --ni`, the first
      --spawn-limit files), then prepared requests from --clients clients,
      each on one persistent connection: NI against HTTP keep-alive (/process
      with the same request bytes, and /compress with the file as an upload
      and the archive downloaded). Prints requests per second and MB/s.

One server (`serve --ni-port 0 --port 0`, HTTP and NI at once, --max-upload
large enough for the set) serves both transports. Every archive of the first
round is checked (entries and contents); later rounds only check that an
archive came back.
"""
import argparse
import http.client
import json
import os
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
from serve_bench import multipart, read_corpus  # noqa: E402
from ni_soak import Peer, archive_entries, build_request  # noqa: E402


class Server:
    """serve with HTTP and NI at once."""

    def __init__(self, host, directory, args):
        port_file = os.path.join(directory, "ni.port")
        self.proc = subprocess.Popen(
            [host, "serve", "--port", "0", "--ni-port", "0", "--ni-port-file", port_file, "-q",
             "--max-upload", str(1 << 30), *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.http_port = None
        while self.http_port is None:
            line = self.proc.stdout.readline()
            if not line:
                sys.exit(f"the server did not start: {self.proc.stderr.read().decode()}")
            self.http_port = json.loads(line).get("port")
        while not os.path.exists(port_file):
            time.sleep(0.05)
        with open(port_file) as f:
            self.ni_port = int(f.read())
        threading.Thread(target=lambda: [None for _ in self.proc.stdout], daemon=True).start()
        threading.Thread(target=lambda: [None for _ in self.proc.stderr], daemon=True).start()

    def stop(self):
        self.proc.send_signal(15)
        if self.proc.wait(timeout=120) != 0:
            sys.exit(f"the server exited with {self.proc.returncode}")


def cpu_seconds(server):
    """Processor seconds so far of the server, of the processes this one
    started and waited for, and of this process."""
    with open(f"/proc/{server.proc.pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    own = resource.getrusage(resource.RUSAGE_SELF)
    return ((int(fields[11]) + int(fields[12])) / ticks, children.ru_utime + children.ru_stime,
            own.ru_utime + own.ru_stime)


def check(archive_or_entries, files):
    entries = archive_or_entries
    expected = [(name, data) for name, data in files if data]
    if [n for n, _ in entries] != [n for n, _ in expected] or entries != expected:
        sys.exit(f"wrong archive: {[n for n, _ in entries][:5]}... for "
                 f"{[n for n, _ in expected][:5]}...")


class Ways:
    """Each way packs a list of files once; `first` asks for a full check."""

    def __init__(self, args, server, directory, corpus):
        self.args = args
        self.server = server
        self.directory = directory
        self.corpus = corpus

    def spawn(self, names, remote, first):
        output = os.path.join(self.directory, "out.zip")
        command = [self.args.host, "pack", "-q", "-o", output]
        if remote:
            command += ["--ni", f"127.0.0.1:{self.server.ni_port}"]
        subprocess.run(command + ["-@"], input="\n".join(names).encode(), cwd=self.corpus,
                       check=True)
        if first:
            import zipfile
            with zipfile.ZipFile(output) as archive:
                got = [(i.filename, archive.read(i)) for i in archive.infolist()]
            return got
        return None

    @staticmethod
    def ni(peer, request, first):
        peer.send_transfer(request)
        response = peer.receive_transfer()
        if first:
            return archive_entries(response)
        if not response.startswith(b"TransMagic"):
            sys.exit("no answer")
        return None

    # Kept-alive HTTP connections the server closed just as a request went
    # out (sent again on a new connection, as clients do).
    reconnects = 0

    @staticmethod
    def post(connection, path, body, content_type):
        for attempt in (1, 2):
            try:
                connection.request("POST", path, body, {"Content-Type": content_type})
                return connection.getresponse()
            except (BrokenPipeError, ConnectionResetError, http.client.RemoteDisconnected):
                if attempt == 2:
                    raise
                Ways.reconnects += 1
                connection.close()

    @staticmethod
    def http_process(connection, request, first):
        response = Ways.post(connection, "/process", request, "application/octet-stream")
        answer = response.read()
        if response.status != 200:
            sys.exit(f"HTTP {response.status}: {answer[:300]!r}")
        if first:
            return archive_entries(answer)
        if not answer.startswith(b"TransMagic"):
            sys.exit("no answer")
        return None

    @staticmethod
    def http(connection, body, content_type, first):
        response = Ways.post(connection, "/compress", body, content_type)
        document = response.read()
        if response.status != 200:
            sys.exit(f"HTTP {response.status}: {document[:300]!r}")
        name = document.decode().split('url="/output/')[1].split('"')[0]
        connection.request("GET", "/output/" + name,
                           headers={"X-Parcel-Token": response.getheader("X-Parcel-Token")})
        response = connection.getresponse()
        archive = response.read()
        if response.status != 200:
            sys.exit(f"HTTP {response.status} for the archive")
        if first:
            import io
            import zipfile
            with zipfile.ZipFile(io.BytesIO(archive)) as z:
                return [(i.filename, z.read(i)) for i in z.infolist()]
        return None


def bench_whole(args, ways, files):
    names = [name for name, _ in files]
    total = sum(len(data) for _, data in files)
    request = build_request(files)
    body, content_type = multipart(files)
    peer = Peer(ways.server.ni_port, random.Random(0), timeout=600)

    # A new HTTP connection per request: between turns a kept one would
    # outlast the server's idle timeout (5 s), and a connection costs nothing
    # beside a whole set.
    def connection():
        return http.client.HTTPConnection("127.0.0.1", ways.server.http_port, timeout=600)

    runs = {
        "pack (local, process)": lambda first: ways.spawn(names, False, first),
        "pack --ni (process)": lambda first: ways.spawn(names, True, first),
        "NI, prepared request": lambda first: Ways.ni(peer, request, first),
        "HTTP /process, prepared request": lambda first: Ways.http_process(connection(), request,
                                                                           first),
        "HTTP /compress upload + download, prepared": lambda first: Ways.http(
            connection(), body, content_type, first),
    }
    times = {way: [] for way in runs}
    cpus = {way: [] for way in runs}
    order = list(runs)
    shuffle = random.Random(args.rounds)
    for turn in range(args.rounds + 1):
        # Each turn in another order, so that no way always follows the same one.
        shuffle.shuffle(order)
        for way in order:
            run = runs[way]
            cpu = cpu_seconds(ways.server)
            started = time.perf_counter()
            got = run(turn == 0)
            seconds = time.perf_counter() - started
            cpu = [after - before for after, before in zip(cpu_seconds(ways.server), cpu)]
            if turn == 0:
                check(got, files)  # the first turn is the warm-up
            else:
                times[way].append(seconds)
                cpus[way].append(cpu)
    peer.close()
    report = {"files": len(files), "mb": round(total / 1e6, 2), "rounds": args.rounds,
              "load_average": os.getloadavg(), "ways": {}}
    for way, seconds in times.items():
        median = statistics.median(seconds)
        report["ways"][way] = {
            "median_s": round(median, 3), "min_s": round(min(seconds), 3),
            "max_s": round(max(seconds), 3), "mb_per_s": round(total / median / 1e6, 1),
            # Processor seconds (medians): the server's, the started processes',
            # and this process's (the prepared ways' client).
            "cpu_server_s": round(statistics.median(c[0] for c in cpus[way]), 3),
            "cpu_process_s": round(statistics.median(c[1] for c in cpus[way]), 3),
            "cpu_client_s": round(statistics.median(c[2] for c in cpus[way]), 3)}
    print(json.dumps(report))


def bench_files(args, ways, files):
    files = [(name, data) for name, data in files if data]
    total = sum(len(data) for _, data in files)
    report = {"requests": len(files), "mb": round(total / 1e6, 2), "clients": args.clients,
              "load_average_before": os.getloadavg(), "ways": {}}

    def record(way, seconds, count, nbytes, cpu=None):
        report["ways"][way] = {"seconds": round(seconds, 2),
                               "requests_per_s": round(count / seconds, 1),
                               "mb_per_s": round(nbytes / seconds / 1e6, 2)}
        if cpu is not None:
            # Processor time per request of the server and of this process
            # (the clients), which the machine's load moves less than seconds.
            report["ways"][way]["server_cpu_ms_per_request"] = round(cpu[0] * 1e3 / count, 3)
            report["ways"][way]["client_cpu_ms_per_request"] = round(cpu[2] * 1e3 / count, 3)

    # One process per request, the first --spawn-limit files.
    spawned = files[:args.spawn_limit]
    spawned_bytes = sum(len(d) for _, d in spawned)
    for way, remote in (("pack (local), a process per request", False),
                        ("pack --ni, a process per request", True)):
        if not spawned:
            break
        started = time.perf_counter()
        for k, (name, data) in enumerate(spawned):
            got = ways.spawn([name], remote, k < 20)
            if got is not None:
                check(got, [(name, data)])
        record(way, time.perf_counter() - started, len(spawned), spawned_bytes)

    # Prepared requests on persistent connections.
    requests = [build_request([f]) for f in files]
    bodies = [multipart([f]) for f in files]

    def run(way, client):
        work = list(range(len(files)))
        lock = threading.Lock()
        errors = []

        def worker():
            state = client()
            first = True
            while True:
                with lock:
                    if not work or errors:
                        break
                    k = work.pop()
                try:
                    got = state(k, first)
                    if first:
                        check(got, [files[k]])
                        first = False
                except (Exception, SystemExit) as e:  # noqa: BLE001 - reported below
                    errors.append(f"{way}, {files[k][0]} ({len(files[k][1])} bytes): {e!r}")

        threads = [threading.Thread(target=worker) for _ in range(args.clients)]
        cpu = cpu_seconds(ways.server)
        started = time.perf_counter()
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        seconds = time.perf_counter() - started
        cpu = [after - before for after, before in zip(cpu_seconds(ways.server), cpu)]
        if errors:
            sys.exit(errors[0])
        record(way, seconds, len(files), total, cpu)

    def ni_client():
        peer = Peer(ways.server.ni_port, random.Random(0), timeout=600)
        return lambda k, first: Ways.ni(peer, requests[k], first)

    def process_client():
        connection = http.client.HTTPConnection("127.0.0.1", ways.server.http_port, timeout=600)
        return lambda k, first: Ways.http_process(connection, requests[k], first)

    def http_client():
        connection = http.client.HTTPConnection("127.0.0.1", ways.server.http_port, timeout=600)
        return lambda k, first: Ways.http(connection, *bodies[k], first)

    for turn in range(args.rounds):
        again = "" if turn == 0 else f" (round {turn + 1})"
        run("NI, prepared, persistent connection" + again, ni_client)
        run("HTTP /process, prepared, keep-alive" + again, process_client)
        run("HTTP /compress upload + download, keep-alive" + again, http_client)
    report["load_average_after"] = os.getloadavg()
    report["http_reconnects"] = Ways.reconnects
    print(json.dumps(report))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--rounds", type=int, default=5,
                        help="whole: timed turns after the warm-up; files: turns of the "
                             "persistent-connection ways")
    parser.add_argument("--clients", type=int, default=1)
    parser.add_argument("--limit", type=int, default=0, help="use only the first N files")
    parser.add_argument("--spawn-limit", type=int, default=500,
                        help="files: processes started per way")
    parser.add_argument("--server-arg", action="append", default=[])
    parser.add_argument("what", choices=["whole", "files"])
    parser.add_argument("corpus")
    args = parser.parse_args()
    args.host = os.path.abspath(args.host)
    files = read_corpus(args.corpus, args.limit)
    with tempfile.TemporaryDirectory(prefix="ni-bench-") as directory:
        server = Server(args.host, directory, args.server_arg)
        ways = Ways(args, server, directory, args.corpus)
        try:
            if args.what == "whole":
                bench_whole(args, ways, files)
            else:
                bench_files(args, ways, files)
        finally:
            server.stop()


if __name__ == "__main__":
    main()
