#!/usr/bin/env python3
"""Soak run of parcel-host serve's packing over the network library (Linux).

  ni_soak.py --host build/sanitize/parcel-host --seconds 30

Starts `parcel-host serve --no-http --ni-port 0` with a lowered descriptor
limit and, for --seconds, loads it over loopback with:

  * --clients clients (threads) speaking the frame protocol themselves, each
    a run of packing requests on one connection, then a new connection; half
    of them send their frames in random small pieces with short pauses.
    Requests hold one to eight files of varied text and binary content; every
    --large-every seconds one client sends a request above 8 MiB (as a
    TransLarge header and pieces), with incompressible content now and then
    so that the answer comes back the same way.
  * `parcel-host pack --ni` runs as users start them, half with the network
    library's fragmentation test on (--ni-fragment-test).
  * Peers that go away in the middle of a frame or of a large transfer, one
    that sends a request a few bytes at a time, and peers that send what the
    server must refuse (a frame of 8 MiB + 1, text instead of a frame,
    malformed TransLarge headers and pieces): each must get its NI error
    report from the server, then see the connection closed.
  * Once, half-way: connections are opened until the server runs out of
    descriptors and stops accepting; a client connected before must still be
    answered, and once those connections are closed a new one must be too.

Every answer is checked: its records parsed, its archive opened with zipfile,
the entries and their contents compared with what was sent. Every second the
server's resident memory and open descriptors are sampled. At the end the
server must be back to the descriptors it had after its first request, the
median of its memory in the last third of the run after warm-up must not
exceed the peak of the first third by more than --rss-growth, and it must stop on SIGTERM with
exit code 0 and no sanitizer report. Prints a JSON report; exits non-zero
with the reasons when a check fails.
"""
import argparse
import io
import json
import os
import random
import resource
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

NIEINTERN = -1
NIEINVAL = -8
NIETOO_BIG = -20
MAX_MESSAGE = 8 << 20
SERVER_COMPONENT = b"parcel-host serve"
LARGE_MAGIC = b"TransLarge"
# ASan's quarantine keeps up to 256 MiB of freed blocks by default, which
# would read as growth in a run of a few minutes.
ASAN_EXTRA = "quarantine_size_mb=16"
# Prints "seconds resident-KiB descriptors" of process argv[1] every second.
SAMPLER = """
import os, sys, time
pid, start = sys.argv[1], time.monotonic()
while True:
    try:
        with open(f"/proc/{pid}/status") as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        fds = len(os.listdir(f"/proc/{pid}/fd"))
    except (OSError, StopIteration):
        break
    print(f"{time.monotonic() - start:.1f} {rss} {fds}", flush=True)
    time.sleep(1)
"""


def large_header(size):
    return LARGE_MAGIC.ljust(16) + str(size).encode().ljust(16)


def build_request(files):
    """The transfer-form request packing `files` ((name, bytes) pairs)."""
    xml = '<?xml version="1.0" encoding="UTF-8"?>\n<REQUEST><COMPRESS format="zip"><FILES>\n'
    for name, data in files:
        xml += f'<FILE name="{name}" size="{len(data)}"/>\n'
    xml += "</FILES></COMPRESS></REQUEST>\n"
    tables = [("META", xml.encode())] + [(f"FILE{k + 1}", data) for k, (_, data) in
                                         enumerate(files)]

    def record(tag, value):
        return tag.encode().ljust(8) + str(value).encode().ljust(40)

    description = [record("VERS", "1.0")]
    for name, data in tables:
        width = len(data)
        description += [record("TBNM", name), record("TBLN", 1 if width else 0),
                        record("TBWD", width), record("TBCL", 1), record("CLNM", "DATA"),
                        record("CLWD", width)]
    description = b"".join(description)
    header = b"TransMagic".ljust(16) + str(len(description)).encode().ljust(16) + b"0".ljust(16)
    return b"".join([header, description] + [data for _, data in tables])


def archive_entries(response):
    """{entry name: content} of the archive in a response; raises on any
    deviation from a response document followed by one zip archive."""
    records, at = [], 0
    while at < len(response):
        header = response[at:at + 160]
        if len(header) < 160 or header[:10] != b"TransMagic":
            raise AssertionError(f"no output record at offset {at}")
        length = int(header[144:160].split(b"\0")[0])
        records.append((header[16:48].strip(), response[at + 160:at + 160 + length]))
        at += 160 + length
    if [mime for mime, _ in records] != [b"text/xml", b"application/zip"]:
        raise AssertionError(f"records {[m for m, _ in records]}: {records[0][1][:300]!r}")
    if b"<COMPRESSED_FILE" not in records[0][1]:
        raise AssertionError(f"response document {records[0][1][:300]!r}")
    with zipfile.ZipFile(io.BytesIO(records[1][1])) as archive:
        if archive.testzip() is not None:
            raise AssertionError("a damaged entry")
        return [(info.filename, archive.read(info)) for info in archive.infolist()]


class Refused(Exception):
    """The server's NI error report."""

    def __init__(self, code, text):
        super().__init__(f"refused with {code}: {text[:200]!r}")
        self.code = code
        self.text = text


class Peer:
    """One connection speaking the buffered layer's frames: a 4-byte
    big-endian length and the message. With `fragment`, frames leave in
    random small pieces with short pauses."""

    def __init__(self, port, rng, fragment=False, timeout=180):
        self.rng = rng
        self.fragment = fragment
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def send_raw(self, data):
        if not self.fragment:
            self.sock.sendall(data)
            return
        view, at = memoryview(data), 0
        most = 2048 if len(data) < 65536 else 262144
        while at < len(data):
            n = self.rng.randint(1, most)
            self.sock.sendall(view[at:at + n])
            at += n
            if self.rng.random() < 0.1:
                time.sleep(self.rng.random() * 0.002)

    def send_message(self, payload):
        self.send_raw(struct.pack(">I", len(payload)) + payload)

    def send_transfer(self, data):
        if len(data) <= MAX_MESSAGE:
            self.send_message(data)
            return
        self.send_message(large_header(len(data)))
        for at in range(0, len(data), MAX_MESSAGE):
            self.send_message(data[at:at + MAX_MESSAGE])

    def read_exact(self, n):
        out = bytearray()
        while len(out) < n:
            chunk = self.sock.recv(min(n - len(out), 1 << 20))
            if not chunk:
                raise ConnectionError(f"closed after {len(out)} of {n} bytes")
            out += chunk
        return bytes(out)

    def receive(self):
        (length,) = struct.unpack(">I", self.read_exact(4))
        message = self.read_exact(length)
        if message.startswith(b"NI_RTERR\0"):
            (code,) = struct.unpack(">i", message[12:16])
            raise Refused(code, message[20:])
        return message

    def receive_transfer(self):
        first = self.receive()
        if not first.startswith(LARGE_MAGIC):
            return first
        size, data = int(first[16:32]), bytearray()
        while len(data) < size:
            data += self.receive()
        if len(data) != size:
            raise AssertionError(f"a large answer of {len(data)} bytes, announced {size}")
        return bytes(data)

    def closed_by_server(self):
        """True when the server closes the connection (reads to its end)."""
        self.sock.settimeout(30)
        try:
            while self.sock.recv(65536):
                pass
            return True
        except socket.timeout:
            return False
        except OSError:
            return True  # a reset: closed all the same

    def close(self, reset=False):
        if reset:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


class Content:
    """Inputs: slices of a block of words and of a random block, so that
    making a request costs little."""

    def __init__(self, rng):
        words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
                 for _ in range(2000)]
        self.text = b" ".join(rng.choice(words) for _ in range(260000))[:1 << 20]
        self.binary = os.urandom(1 << 20)

    def small_files(self, rng, serial):
        files = []
        for k in range(rng.randint(1, 8)):
            size = min(int(rng.expovariate(1 / 6000)), 200000) if rng.random() < 0.95 else 0
            block = self.text if rng.random() < 0.8 else self.binary
            at = rng.randrange(0, len(block) - size) if size < len(block) else 0
            name = f"{serial}-{k}{rng.choice(['.txt', '.bin', '', '_ü.txt', ' x.c'])}"
            files.append((name, block[at:at + size]))
        return files

    def large_files(self, rng, serial):
        size = rng.randint(MAX_MESSAGE + 1, MAX_MESSAGE + (4 << 20))
        if rng.random() < 0.4:
            data = os.urandom(size)  # the answer is larger than 8 MiB too
        else:
            data = (self.text * (size // len(self.text) + 1))[:size]
        return [(f"{serial}-large.dat", data), (f"{serial}-small.txt", self.text[:1000])]


class Server:
    def __init__(self, host, nofile, directory, extra_args):
        self.port_file = os.path.join(directory, "ni.port")
        env = dict(os.environ)
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), ASAN_EXTRA]))
        # glibc's malloc raises its threshold for mapping blocks of their own
        # each time it gives one back, and from then on keeps blocks of the
        # size of a large request in its heaps: resident memory would climb
        # with the largest requests seen so far, which is no growth. A fixed
        # threshold gives every large block back.
        env.setdefault("MALLOC_MMAP_THRESHOLD_", str(1 << 20))

        def lower_limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

        self.proc = subprocess.Popen(
            [host, "serve", "--no-http", "--ni-port", "0", "--ni-port-file", self.port_file,
             "-q", *extra_args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=lower_limit, env=env)
        self.out, self.err = [], []
        threading.Thread(target=lambda: self.out.extend(self.proc.stdout), daemon=True).start()
        threading.Thread(target=lambda: self.err.extend(self.proc.stderr), daemon=True).start()
        deadline = time.monotonic() + 60
        while not os.path.exists(self.port_file):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                sys.exit(f"the server did not start: {self.messages()}")
            time.sleep(0.05)
        with open(self.port_file) as f:
            self.port = int(f.read())

    def messages(self):
        return b"".join(self.err).decode(errors="replace")

    def rss_kib(self):
        with open(f"/proc/{self.proc.pid}/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))

    def fds(self):
        return len(os.listdir(f"/proc/{self.proc.pid}/fd"))

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        code = self.proc.wait(timeout=120)
        time.sleep(0.2)  # the reader threads take the last lines
        return code


class Soak:
    def __init__(self, args, server, directory):
        self.args = args
        self.server = server
        self.directory = directory
        self.content = Content(random.Random(1))
        self.stop_at = time.monotonic() + args.seconds
        self.lock = threading.Lock()
        self.counts = {}
        self.failures = []
        self.serial = 0
        self.next_large = time.monotonic() + 2
        self.large_slots = threading.Semaphore(2)
        self.samples = []  # (seconds since start, RSS KiB, descriptors)
        self.episode = {}

    def running(self):
        return time.monotonic() < self.stop_at

    def count(self, what, n=1):
        with self.lock:
            self.counts[what] = self.counts.get(what, 0) + n

    def fail(self, what):
        with self.lock:
            self.failures.append(what)
        print(f"FAIL {what}", file=sys.stderr, flush=True)

    def next_serial(self):
        with self.lock:
            self.serial += 1
            return self.serial

    def large_due(self):
        with self.lock:
            if time.monotonic() < self.next_large:
                return False
            self.next_large = time.monotonic() + self.args.large_every
            return True

    def exchange(self, peer, files):
        """Sends one request on `peer` and checks its answer."""
        peer.send_transfer(build_request(files))
        entries = archive_entries(peer.receive_transfer())
        files = [(name, data) for name, data in files if data]  # empty files are left out
        if [name for name, _ in entries] != [name for name, _ in files]:
            raise AssertionError(f"entries {[n for n, _ in entries][:8]} for "
                                 f"{[n for n, _ in files][:8]}")
        for (name, data), (_, sent) in zip(entries, files):
            if data != sent:
                raise AssertionError(f"entry {name}: {len(data)} bytes differ from the "
                                     f"{len(sent)} sent")
        self.count("answered")
        self.count("bytes_in", sum(len(d) for _, d in files))

    def client(self, k):
        rng = random.Random(1000 + k)
        fragment = k % 2 == 1
        time.sleep(rng.random() * 2)  # not all at once
        while self.running():
            try:
                peer = Peer(self.server.port, rng, fragment)
            except OSError as e:
                self.fail(f"client {k}: cannot connect: {e}")
                time.sleep(1)
                continue
            try:
                for _ in range(rng.randint(1, 20)):
                    if not self.running():
                        break
                    serial = self.next_serial()
                    if self.large_due():
                        with self.large_slots:
                            self.exchange(peer, self.content.large_files(rng, serial))
                        self.count("large")
                    else:
                        self.exchange(peer, self.content.small_files(rng, serial))
                    self.count("fragmented" if fragment else "whole")
                    time.sleep(rng.random() * 0.05)
                if rng.random() < 0.05:
                    # Goes away in the middle of a frame.
                    request = build_request(self.content.small_files(rng, self.next_serial()))
                    frame = struct.pack(">I", len(request)) + request
                    peer.send_raw(frame[:rng.randint(1, len(frame) - 1)])
                    peer.close(reset=rng.random() < 0.5)
                    self.count("vanished_mid_frame")
                    continue
            except Exception as e:  # noqa: BLE001 - every failure is reported
                self.fail(f"client {k}{' (fragmented)' if fragment else ''}: "
                          f"{type(e).__name__}: {e}")
            peer.close()

    def cli_client(self, k):
        rng = random.Random(5000 + k)
        work = os.path.join(self.directory, f"cli{k}")
        os.makedirs(work)
        turn = 0
        while self.running():
            turn += 1
            files = self.content.small_files(rng, self.next_serial())
            names = []
            for j, (_, data) in enumerate(files):
                names.append(f"in{j}.dat")
                with open(os.path.join(work, names[-1]), "wb") as f:
                    f.write(data)
            output = os.path.join(work, "out.zip")
            command = [self.args.host, "pack", "-q", "--ni", f"127.0.0.1:{self.server.port}",
                       "-o", output, "--timeout", "120", *names]
            fragmented = turn % 2 == 0
            if fragmented:
                command += ["--ni-fragment-test", str(rng.choice([1, 7, 300, 4096]))]
            result = subprocess.run(command, cwd=work, capture_output=True, timeout=300)
            if result.returncode != 0:
                self.fail(f"pack --ni{' (fragment test)' if fragmented else ''} exited with "
                          f"{result.returncode}: {result.stderr.decode(errors='replace')[-600:]}")
                continue
            with zipfile.ZipFile(output) as archive:
                got = [(i.filename, archive.read(i)) for i in archive.infolist()]
            if got != [(n, d) for n, (_, d) in zip(names, files) if d]:
                self.fail(f"pack --ni: the archive holds {[n for n, _ in got]}, not {names}")
                continue
            self.count("cli_fragment_test" if fragmented else "cli")

    # What the server must refuse: the bytes sent and the code of its report.
    REFUSALS = [
        ("a frame of 8 MiB + 1", lambda rng: struct.pack(">I", MAX_MESSAGE + 1), NIETOO_BIG),
        ("text instead of a frame", lambda rng: b"GET / HTTP/1.1\r\nHost: x\r\n\r\n", NIETOO_BIG),
        ("random bytes instead of a frame",
         lambda rng: bytes([rng.randint(0x80, 0xff)]) + os.urandom(rng.randint(3, 200)),
         NIEINVAL),
        ("a TransLarge header with a bad size",
         lambda rng: Soak.frame(LARGE_MAGIC.ljust(16) + b"12x".ljust(16)), NIEINVAL),
        ("a TransLarge header of the wrong length",
         lambda rng: Soak.frame(large_header(MAX_MESSAGE + 5) + b" "), NIEINVAL),
        ("a TransLarge header beyond the request limit",
         lambda rng: Soak.frame(large_header(1 << 40)), NIETOO_BIG),
        ("a TransLarge piece shorter than the rest",
         lambda rng: Soak.frame(large_header(MAX_MESSAGE + 1)) + Soak.frame(b"x" * 100), NIEINVAL),
    ]

    @staticmethod
    def frame(payload):
        return struct.pack(">I", len(payload)) + payload

    def refusals(self):
        rng = random.Random(7)
        while self.running():
            for name, make, code in self.REFUSALS:
                try:
                    peer = Peer(self.server.port, rng, fragment=rng.random() < 0.5, timeout=120)
                    try:
                        peer.send_raw(make(rng))
                    except OSError:
                        # Refused and closed before the rest was sent (a frame
                        # cannot follow): the report must be there all the same.
                        self.count("closed_while_sending")
                    try:
                        peer.receive()
                        self.fail(f"{name}: answered instead of refused")
                    except Refused as refusal:
                        if refusal.code != code or SERVER_COMPONENT not in refusal.text:
                            self.fail(f"{name}: {refusal}, expected code {code}")
                        elif not peer.closed_by_server():
                            self.fail(f"{name}: the connection stays open after the refusal")
                        else:
                            self.count("refused_as_expected")
                    peer.close()
                except Exception as e:  # noqa: BLE001
                    self.fail(f"{name}: {type(e).__name__}: {e}")
            # Not a request at all: an error document, and the connection
            # goes on with a good request.
            try:
                peer = Peer(self.server.port, rng)
                peer.send_message(b"not a request")
                document = peer.receive_transfer()
                if b"<ERROR" not in document:
                    self.fail(f"not a request: answered {document[:200]!r}")
                self.exchange(peer, self.content.small_files(rng, self.next_serial()))
                self.count("not_a_request")
                peer.close()
            except Exception as e:  # noqa: BLE001
                self.fail(f"not a request: {type(e).__name__}: {e}")
            time.sleep(0.2)

    def vanishing(self):
        rng = random.Random(11)
        while self.running():
            try:
                peer = Peer(self.server.port, rng)
                if rng.random() < 0.5:
                    # In a TransLarge transfer: the header and part of a piece.
                    peer.send_message(large_header(MAX_MESSAGE + 1000))
                    peer.send_raw(struct.pack(">I", MAX_MESSAGE) + self.content.text[:rng.randint(0, 300000)])
                else:
                    peer.send_raw(struct.pack(">I", 5000) + b"TransMagic"[:rng.randint(0, 10)])
                time.sleep(rng.random() * 0.3)
                peer.close(reset=rng.random() < 0.5)
                self.count("vanished_mid_transfer")
            except OSError as e:
                self.fail(f"vanishing peer: {e}")
            time.sleep(0.1)

    def slow(self):
        """A request a few bytes at a time: answered when it is whole."""
        rng = random.Random(13)
        while self.running():
            try:
                peer = Peer(self.server.port, rng)
                files = [("slow.txt", self.content.text[:rng.randint(100, 400)])]
                request = build_request(files)
                data = struct.pack(">I", len(request)) + request
                at = 0
                while at < len(data):
                    n = rng.randint(1, 40)
                    peer.sock.sendall(data[at:at + n])
                    at += n
                    time.sleep(0.02)
                entries = archive_entries(peer.receive_transfer())
                if entries != files:
                    self.fail(f"slow request: entries {[n for n, _ in entries]}")
                else:
                    self.count("slow_answered")
                peer.close()
            except Exception as e:  # noqa: BLE001
                self.fail(f"slow request: {type(e).__name__}: {e}")

    def sampler(self):
        # In a process of its own: among hundreds of busy threads a thread of
        # this one would wait for the interpreter lock and miss seconds.
        sampler = subprocess.Popen([sys.executable, "-c", SAMPLER, str(self.server.proc.pid)],
                                   stdout=subprocess.PIPE, text=True)
        while self.running():
            time.sleep(min(1, max(0, self.stop_at - time.monotonic())))
        sampler.terminate()
        out, _ = sampler.communicate()
        for line in out.splitlines():
            seconds, rss, fds = line.split()
            self.samples.append((float(seconds), int(rss), int(fds)))

    def exhaust_descriptors(self):
        """Opens connections until the server cannot accept more, checks that
        it still answers, closes them and checks that it accepts again."""
        time.sleep(self.args.seconds * 0.45)
        rng = random.Random(17)
        witness = Peer(self.server.port, rng)
        self.exchange(witness, self.content.small_files(rng, self.next_serial()))
        held, peak = [], 0
        limit = self.args.nofile
        try:
            while len(held) < limit + 50:
                try:
                    held.append(socket.create_connection(("127.0.0.1", self.server.port),
                                                         timeout=5))
                except OSError:
                    break
                if len(held) % 20 == 0:
                    time.sleep(0.05)
                    peak = max(peak, self.server.fds())
                    if peak >= limit:
                        break
            deadline = time.monotonic() + 5
            while peak < limit and time.monotonic() < deadline:
                time.sleep(0.1)
                peak = max(peak, self.server.fds())
            self.episode = {"connections_opened": len(held), "server_fds_peak": peak,
                            "nofile": limit}
            # The other clients come and go meanwhile: the count moves by a few.
            if peak < limit - 5:
                self.fail(f"descriptors: the server held {peak} of {limit} after "
                          f"{len(held)} connections")
            # Out of descriptors, the server still answers a connection it has.
            self.exchange(witness, self.content.small_files(rng, self.next_serial()))
            self.count("answered_while_out_of_descriptors")
        except Exception as e:  # noqa: BLE001
            self.fail(f"descriptors: {type(e).__name__}: {e}")
        finally:
            for s in held:
                s.close()
            witness.close()
        try:
            started = time.monotonic()
            peer = Peer(self.server.port, rng, timeout=60)
            self.exchange(peer, self.content.small_files(rng, self.next_serial()))
            peer.close()
            self.episode["seconds_to_answer_after"] = round(time.monotonic() - started, 2)
        except Exception as e:  # noqa: BLE001
            self.fail(f"descriptors: no answer once they were closed: {type(e).__name__}: {e}")

    def run(self):
        threading.stack_size(512 * 1024)
        jobs = [(self.client, (k,)) for k in range(self.args.clients)]
        jobs += [(self.cli_client, (k,)) for k in range(self.args.cli_clients)]
        jobs += [(self.refusals, ()), (self.vanishing, ()), (self.slow, ()), (self.sampler, ()),
                 (self.exhaust_descriptors, ())]
        threads = [threading.Thread(target=f, args=a) for f, a in jobs]
        for t in threads:
            t.start()
        for t in threads:
            t.join()


def settle_fds(server, target, seconds):
    """Waits until the server holds `target` descriptors; the last count."""
    deadline = time.monotonic() + seconds
    while True:
        fds = server.fds()
        if fds <= target or time.monotonic() > deadline:
            return fds
        time.sleep(0.2)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True, help="parcel-host")
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--clients", type=int, default=500)
    parser.add_argument("--cli-clients", type=int, default=2)
    parser.add_argument("--large-every", type=float, default=3,
                        help="seconds between requests above 8 MiB")
    parser.add_argument("--nofile", type=int, default=0,
                        help="the server's descriptor limit (default: clients + 200)")
    parser.add_argument("--rss-growth", type=float, default=0.2,
                        help="largest growth of resident memory: the last third's median "
                             "against the first third's peak, after warm-up")
    parser.add_argument("--server-arg", action="append", default=[])
    parser.add_argument("--report", help="also write the JSON report here")
    args = parser.parse_args()
    args.host = os.path.abspath(args.host)  # pack runs in directories of its own
    args.nofile = args.nofile or args.clients + 200
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    need = 2 * args.nofile + args.clients + 200
    if soft < need:
        resource.setrlimit(resource.RLIMIT_NOFILE, (min(need, hard), hard))

    problems = []
    with tempfile.TemporaryDirectory(prefix="ni-soak-") as directory:
        server = Server(args.host, args.nofile, directory, args.server_arg)
        try:
            soak = Soak(args, server, directory)
            # Warm-up: one request, then the descriptors the idle server holds.
            rng = random.Random(0)
            peer = Peer(server.port, rng)
            soak.exchange(peer, soak.content.small_files(rng, 0))
            peer.close()
            time.sleep(1)
            idle_fds = server.fds()
            soak.run()
            end_rss = server.rss_kib()
            end_fds = settle_fds(server, idle_fds, 20)
        finally:
            code = server.stop()
        messages = server.messages()

    samples = soak.samples
    warm = max(5, int(len(samples) * 0.2))
    steady = [rss for _, rss, _ in samples[warm:]]
    third = max(1, len(steady) // 3)
    first, last = steady[:third], steady[-third:]
    report = {
        "seconds": args.seconds, "clients": args.clients, "cli_clients": args.cli_clients,
        "nofile": args.nofile, "load_average": os.getloadavg(), **soak.counts,
        "failures": len(soak.failures), "descriptor_episode": soak.episode,
        "rss_kib": {"warm_up": steady[0] if steady else None,
                    "max": max(steady) if steady else None, "end": end_rss,
                    "first_third_median": statistics.median(first) if steady else None,
                    "first_third_max": max(first) if steady else None,
                    "last_third_median": statistics.median(last) if steady else None},
        "fds": {"idle": idle_fds, "max": max(s[2] for s in samples) if samples else None,
                "end": end_fds},
        "exit_code": code,
    }
    print(json.dumps(report))
    if args.report:
        with open(args.report, "w") as f:
            json.dump({**report, "samples": samples}, f)

    problems += soak.failures[:20]
    if soak.counts.get("answered", 0) == 0:
        problems.append("no request was answered")
    for what in ("large", "fragmented", "whole", "refused_as_expected", "not_a_request",
                 "vanished_mid_transfer", "slow_answered", "answered_while_out_of_descriptors"):
        if soak.counts.get(what, 0) == 0:
            problems.append(f"nothing counted as {what}: the run was too short to cover it")
    if args.cli_clients and not soak.counts.get("cli_fragment_test"):
        problems.append("no pack --ni run with the fragmentation test")
    if len(steady) < 6:
        problems.append(f"only {len(samples)} memory samples in {args.seconds} s")
    elif statistics.median(last) > max(first) * (1 + args.rss_growth):
        # Large requests come and go, so single samples jump: memory that
        # grows is the last third's usual level above the first third's peak.
        problems.append(f"resident memory grew: the last third's median {statistics.median(last)}"
                        f" KiB against the first third's peak {max(first)} KiB")
    if end_fds != idle_fds:
        problems.append(f"the server holds {end_fds} descriptors at the end, {idle_fds} idle "
                        "before the load")
    if code != 0:
        problems.append(f"the server exited with {code}")
    for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"):
        if marker in messages:
            problems.append(f"sanitizer report: {messages[messages.index(marker):][:3000]}")
    if problems:
        sys.exit("\n".join(problems))


if __name__ == "__main__":
    main()
