#!/usr/bin/env python3
"""End-to-end tests of packing over the network library: `parcel-host serve
--ni-port` with `parcel-host pack --ni` as its client, against local packing
(the same archive, byte for byte, and the same exit codes); HTTP and NI served
at once; and, with --other-host, a Windows program under Wine and a Linux one
serving and packing for each other.

usage: ni_serve_e2e.py --host PATH [--emulator WORD]... [--fake-module PATH]
                       [--other-host PATH [--other-emulator WORD]...]
                       [unittest arguments...]
"""
import argparse
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

HOST = None
EMULATOR = []
FAKE_MODULE = None
OTHER_HOST = None
OTHER_EMULATOR = []

EXIT_USAGE, EXIT_INPUT, EXIT_JOB, EXIT_NETWORK = 2, 3, 6, 9


def is_windows(host):
    return host.lower().endswith(".exe")


def command(host, emulator, *args):
    return [*emulator, host, *args]


class Server:
    """`parcel-host serve` with an NI port, started and waited for."""

    def __init__(self, directory, host, emulator, *args, env=None):
        # Paths are relative to the test's directory: a Windows program takes
        # an argument that starts with a slash for an option.
        self.port_file = os.path.join(directory, "ni-port")
        if os.path.exists(self.port_file):
            os.remove(self.port_file)
        self.log = open(os.path.join(directory, "serve.log"), "wb")
        self.proc = subprocess.Popen(
            command(host, emulator, "serve", "--ni-port", "0", "--ni-port-file", "ni-port", *args),
            stdout=self.log, stderr=subprocess.STDOUT, cwd=directory,
            env=dict(os.environ, **(env or {})))
        deadline = time.time() + 120
        while not os.path.exists(self.port_file):
            if self.proc.poll() is not None or time.time() > deadline:
                raise AssertionError("serve did not start: " + self.text())
            time.sleep(0.05)
        with open(self.port_file) as f:
            self.port = int(f.read())

    def text(self):
        if not self.log.closed:
            self.log.flush()
        with open(self.log.name, "rb") as f:
            return f.read().decode(errors="replace")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            code = self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            code = self.proc.wait()
        if not self.log.closed:
            self.log.close()
        return code


def without_times(archive):
    """The archive with every entry's modification time and date zeroed: the
    module stamps entries with the time of packing."""
    import io
    import struct
    import zipfile
    data = bytearray(archive)
    with zipfile.ZipFile(io.BytesIO(archive)) as z:
        for info in z.infolist():
            data[info.header_offset + 10:info.header_offset + 14] = bytes(4)
        at = z.start_dir
    while data[at:at + 4] == b"PK\x01\x02":
        data[at + 12:at + 16] = bytes(4)
        names, extra, comment = struct.unpack_from("<HHH", data, at + 28)
        at += 46 + names + extra + comment
    return bytes(data)


def sample_tree(root):
    rng = random.Random(11)
    files = {
        "docs/readme.txt": b"".join(b"line %d of the readme\n" % i for i in range(2000)),
        "docs/deep/er/noise.bin": bytes(rng.getrandbits(8) for _ in range(200_000)),
        "docs/zeros.bin": bytes(3 << 20),
        "docs/empty.txt": b"",
        "docs/\u00fcml\u00e4ut.txt": "non-ASCII name\n".encode(),
    }
    for relative, data in files.items():
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    return "docs"


class NiTestCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="parcel-ni-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.servers = []
        self.addCleanup(self.stop_all)

    def stop_all(self):
        for server in self.servers:
            server.stop()

    def serve(self, *args, host=None, emulator=None, env=None):
        server = Server(self.dir, host or HOST, EMULATOR if emulator is None else emulator,
                        *args, env=env)
        self.servers.append(server)
        return server

    def pack(self, *args, host=None, emulator=None, env=None):
        done = subprocess.run(
            command(host or HOST, EMULATOR if emulator is None else emulator, "pack", *args),
            capture_output=True, timeout=300, env=dict(os.environ, **(env or {})), cwd=self.dir)
        return done.returncode, done.stderr.decode(errors="replace")

    def read(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def assertSameAsLocal(self, source, remote_args, host=None, emulator=None, local_host=None,
                          local_emulator=None):
        local, remote = "local.zip", "remote.zip"
        code, err = self.pack("-q", "-o", local, source, host=local_host or host,
                              emulator=local_emulator if local_host else emulator)
        self.assertEqual(code, 0, err)
        code, err = self.pack(*remote_args, "-q", "-o", remote, source, host=host,
                              emulator=emulator)
        self.assertEqual(code, 0, err)
        self.assertEqual(without_times(self.read("remote.zip")),
                         without_times(self.read("local.zip")))


class PackOverNiTest(NiTestCase):
    def test_archives_and_exit_codes_are_those_of_local_packing(self):
        server = self.serve("--no-http", "--max-upload", "2M", "-q")
        source = sample_tree(self.dir)
        small = os.path.join(source, "deep")
        endpoint = "127.0.0.1:%d" % server.port
        self.assertSameAsLocal(small, ["--ni", endpoint])
        # Beyond the server's limit: the input exit code, with the limit named.
        code, err = self.pack("--ni", endpoint, "-o", "big.zip", source)
        self.assertEqual(code, EXIT_INPUT, err)
        self.assertIn("limit of 2097152 bytes", err)
        self.assertFalse(os.path.exists(os.path.join(self.dir, "big.zip")))
        # The server goes on; nothing listens elsewhere; the endpoint is checked.
        self.assertSameAsLocal(small, ["--ni", endpoint])
        code, err = self.pack("--ni", "127.0.0.1:1", "-o", "x.zip", small)
        self.assertEqual(code, EXIT_NETWORK, err)
        self.assertIn("127.0.0.1:1", err)
        code, err = self.pack("--ni", "nowhere", "-o", "x.zip", small)
        self.assertEqual(code, EXIT_USAGE, err)
        code = server.stop()
        if not is_windows(HOST):  # Wine's process ends by a signal, not a stop request
            self.assertEqual(code, 0, server.text())

    def test_large_requests_and_ipv6(self):
        server = self.serve("--no-http", "--ni-listen", "::1", "-q")
        source = sample_tree(self.dir)
        rng = random.Random(5)
        with open(os.path.join(self.dir, source, "large.bin"), "wb") as f:
            f.write(bytes(rng.getrandbits(8) for _ in range(10 << 20)))
        self.assertSameAsLocal(source, ["--ni", "[::1]:%d" % server.port])

    def test_the_module_error_is_the_same_exit_and_message(self):
        if FAKE_MODULE is None:
            self.skipTest("no stand-in module given")
        env = {"PARCEL_FAKE_RESPONSE": "error"}
        server = self.serve("--no-http", "--module=" + FAKE_MODULE, "-q", env=env)
        small = os.path.join(sample_tree(self.dir), "deep")
        local = self.pack("--module=" + FAKE_MODULE, "-o", "l.zip", small, env=env)
        remote = self.pack("--ni", "127.0.0.1:%d" % server.port, "-o", "r.zip", small)
        self.assertEqual(local[0], EXIT_JOB, local[1])
        self.assertEqual(remote, local)

    def test_nothing_to_serve_is_a_usage_error(self):
        done = subprocess.run(command(HOST, EMULATOR, "serve", "--no-http"), capture_output=True,
                              timeout=120)
        self.assertEqual(done.returncode, EXIT_USAGE)
        self.assertIn(b"--ni-port", done.stderr)


class ServeBothTest(NiTestCase):
    def test_http_and_ni_share_the_interpreters(self):
        if is_windows(HOST):
            self.skipTest("the HTTP host is built for Linux only")
        server = self.serve("--port", "0", "--port-file", "http-port", "--threads", "2")
        with open(os.path.join(self.dir, "http-port")) as f:
            http_port = int(f.read())
        source = os.path.join(sample_tree(self.dir), "deep")
        self.assertSameAsLocal(source, ["--ni", "127.0.0.1:%d" % server.port])
        with urllib.request.urlopen("http://127.0.0.1:%d/healthz" % http_port, timeout=30) as r:
            self.assertIn(b'"workers":2', r.read())
        self.assertEqual(server.stop(), 0)
        log = server.text()
        self.assertIn('"ni_port":%d' % server.port, log)
        self.assertIn('"method":"NI"', log)
        self.assertIn('"event":"stopped"', log)


class CrossTest(NiTestCase):
    """The program of one platform packs through the server of the other."""

    def setUp(self):
        super().setUp()
        if OTHER_HOST is None or not os.path.exists(OTHER_HOST):
            self.skipTest("no program of the other platform given or built")

    def test_each_platform_packs_through_the_others_server(self):
        source = os.path.join(sample_tree(self.dir), "deep")
        for server_host, server_emulator, client_host, client_emulator in (
                (HOST, EMULATOR, OTHER_HOST, OTHER_EMULATOR),
                (OTHER_HOST, OTHER_EMULATOR, HOST, EMULATOR)):
            with self.subTest(server=os.path.basename(server_host)):
                server = self.serve("--no-http", "-q", host=server_host,
                                    emulator=server_emulator)
                self.assertSameAsLocal(source, ["--ni", "127.0.0.1:%d" % server.port],
                                       host=client_host, emulator=client_emulator,
                                       local_host=server_host, local_emulator=server_emulator)
                server.stop()
                self.servers.remove(server)


def main():
    global HOST, EMULATOR, FAKE_MODULE, OTHER_HOST, OTHER_EMULATOR
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--host", required=True)
    parser.add_argument("--emulator", action="append", default=[])
    parser.add_argument("--fake-module")
    parser.add_argument("--other-host")
    parser.add_argument("--other-emulator", action="append", default=[])
    args, rest = parser.parse_known_args()
    HOST = os.path.abspath(args.host)
    EMULATOR = args.emulator
    FAKE_MODULE = os.path.abspath(args.fake_module) if args.fake_module else None
    OTHER_HOST = os.path.abspath(args.other_host) if args.other_host else None
    OTHER_EMULATOR = args.other_emulator
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
