#!/usr/bin/env python3
"""End-to-end tests of parcel-host serve: the built server runs on an
ephemeral loopback port with the built module (or the stand-in module), real
HTTP clients upload files, and the archives they download are checked with
unzip -t and zipfile down to the last byte. Every server is stopped with a
signal at the end of its test and must exit cleanly.

usage: serve_e2e.py --host PATH [--fake-module PATH]
                    [--browser-script PATH --node-modules DIR] [unittest arguments...]
"""
import argparse
import http.client
import io
import json
import os
import queue
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request
import zipfile

HOST = None
FAKE_MODULE = None
BROWSER_SCRIPT = None
NODE_MODULES = None

EXIT_OUTPUT, EXIT_LISTEN = 4, 8
DOCUMENT = re.compile(r'<\?xml version="1\.0"\?><RESPONSE><COMPRESSED_FILE name="ZIPFILE" '
                      r'type="application/zip" size="(\d+)" url="/output/([^"]+)"/></RESPONSE>')


class Server:
    """One parcel-host serve process on 127.0.0.1 and a port of the system's
    choosing, read from the first line it prints."""

    def __init__(self, *args, env=None):
        environment = dict(os.environ)
        environment.update(env or {})
        self.proc = subprocess.Popen(
            [HOST, "serve", "--listen", "127.0.0.1", "--port", "0", *args],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment)
        self.lines = queue.Queue()
        self.stderr = []
        self.readers = [threading.Thread(target=self._read, args=(stream, sink), daemon=True)
                        for stream, sink in ((self.proc.stdout, self.lines.put),
                                             (self.proc.stderr, self.stderr.append))]
        for reader in self.readers:
            reader.start()
        try:
            first = self.lines.get(timeout=60)
        except queue.Empty:
            self.proc.kill()
            raise RuntimeError("the server printed nothing: " + "".join(self.stderr))
        self.started = json.loads(first)
        self.port = self.started["port"]
        self.log = []

    @staticmethod
    def _read(stream, sink):
        for line in stream:
            sink(line.decode("utf-8", "replace"))

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def request(self, method, path, body=None, headers=None):
        """(status, headers, body) of one request on a new connection."""
        request = urllib.request.Request(self.url(path), data=body, method=method,
                                         headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=120) as response:
                return response.status, response.headers, response.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers, error.read()

    def upload(self, parts, path="/compress"):
        body, content_type = multipart(parts)
        return self.request("POST", path, body, {"Content-Type": content_type})

    def access_log(self, count):
        """The first `count` access log lines, parsed; waits for them."""
        while len(self.log) < count:
            self.log.append(json.loads(self.lines.get(timeout=30)))
        return self.log[:count]

    def stop(self, sig=signal.SIGTERM):
        """Signals the server and returns its exit code."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.wait()

    def kill(self):
        """Ends a server a failed test left running."""
        if self.proc.poll() is None:
            self.proc.kill()
            self.wait()

    def wait(self):
        """Waits for the server to exit; returns its exit code."""
        try:
            code = self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise
        for reader in self.readers:
            reader.join(timeout=10)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return code


def run_clients(client, count):
    """Runs client(0) .. client(count - 1) side by side and waits for them."""
    threads = [threading.Thread(target=client, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=300)


def multipart(parts):
    """A multipart/form-data body of (field, file name or None, bytes) parts,
    in order, and its content type."""
    boundary = "parcel-test-" + os.urandom(8).hex()
    out = io.BytesIO()
    for field, filename, data in parts:
        disposition = f'form-data; name="{field}"'
        if filename is not None:
            disposition += '; filename="' + filename.replace('"', "%22") + '"'
        out.write(f"--{boundary}\r\nContent-Disposition: {disposition}\r\n".encode())
        if filename is not None:
            out.write(b"Content-Type: application/octet-stream\r\n")
        out.write(b"\r\n" + data + b"\r\n")
    out.write(f"--{boundary}--\r\n".encode())
    return out.getvalue(), "multipart/form-data; boundary=" + boundary


def token_of(headers):
    return headers.get("X-Parcel-Token")


def zip_entries(data):
    """Entry name -> bytes of an archive."""
    with zipfile.ZipFile(io.BytesIO(data)) as zf:
        return {info.filename.encode("utf-8" if info.flag_bits & 0x800 else "cp437").decode():
                zf.read(info) for info in zf.infolist()}


def zip_comment(data):
    with zipfile.ZipFile(io.BytesIO(data)) as zf:
        return zf.comment.decode()


def transfer_records(response):
    """(mime type, name, file name, data) of each output record."""
    records, at = [], 0
    while at < len(response):
        header = response[at:at + 160]
        assert header[:10] == b"TransMagic", header
        length = int(header[144:160].split(b"\0")[0])
        records.append((header[16:48].decode().strip(), header[48:80].decode().strip(),
                        header[80:144].decode().strip(), response[at + 160:at + 160 + length]))
        at += 160 + length
    return records


class ServerTestCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="parcel-serve-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def start(self, *args, env=None):
        """A server stopped when the test ends, which must exit with 0."""
        server = self.spawn(*args, env=env)
        self.addCleanup(self.assertStops, server)
        return server

    def spawn(self, *args, env=None):
        """A server the test stops itself; killed should the test fail first."""
        server = Server(*args, env=env)
        self.addCleanup(server.kill)
        return server

    def assertStops(self, server):
        self.assertEqual(server.stop(), 0, "".join(server.stderr))

    def assertArchive(self, data, expected):
        """`data` passes unzip -t and holds exactly `expected`, byte for byte."""
        path = os.path.join(self.dir, "check.zip")
        with open(path, "wb") as f:
            f.write(data)
        tested = subprocess.run(["unzip", "-t", path], capture_output=True)
        self.assertEqual(tested.returncode, 0, tested.stdout + tested.stderr)
        self.assertIn(b"No errors detected", tested.stdout)
        self.assertEqual(zip_entries(data), expected)

    def packed(self, server, parts):
        """Uploads `parts`; returns (archive name, token, document size)."""
        status, headers, body = server.upload(parts)
        self.assertEqual(status, 200, body)
        self.assertEqual(headers.get_content_type(), "text/xml")
        match = DOCUMENT.fullmatch(body.decode())
        self.assertIsNotNone(match, body)
        return match.group(2), token_of(headers), int(match.group(1))

    def download(self, server, name, token):
        status, headers, body = server.request("GET", "/output/" + name, None,
                                               {"X-Parcel-Token": token} if token else {})
        self.assertEqual(status, 200, body)
        return body


def sample_parts(seed, tag=""):
    rng = random.Random(seed)
    return [
        ("path", None, b"docs"),
        ("file", f"notes{tag}.txt", f"notes of {tag}\n".encode() * 300),
        ("file", f"data{tag}.bin", bytes(rng.getrandbits(8) for _ in range(50_000))),
        ("path", None, "\u00e9t\u00e9/2024".encode()),
        ("file", f"sub/dir/caf\u00e9 {tag}.txt", b"deeper\r\n\x00\xff"),
    ]


def sample_entries(seed, tag=""):
    parts = sample_parts(seed, tag)
    return {f"docs\\notes{tag}.txt": parts[1][2], f"docs\\data{tag}.bin": parts[2][2],
            f"\u00e9t\u00e9\\2024\\sub\\dir\\caf\u00e9 {tag}.txt": parts[4][2]}


class CompressTest(ServerTestCase):
    """Uploading, downloading and the token rule with the real module."""

    def setUp(self):
        super().setUp()
        self.server = self.start("--threads", "4")

    def test_upload_and_download_round_trip(self):
        name, token, size = self.packed(self.server, sample_parts(1))
        self.assertRegex(token, r"^[0-9a-f]{32}$")
        status, headers, body = self.server.request("GET", "/output/" + name, None,
                                                    {"X-Parcel-Token": token})
        self.assertEqual(status, 200)
        self.assertEqual(headers["Content-Type"], "application/zip")
        self.assertEqual(int(headers["Content-Length"]), size)
        self.assertEqual(len(body), size)
        self.assertEqual(headers["Content-Disposition"], f'attachment; filename="{name}"')
        self.assertArchive(body, sample_entries(1))
        # HEAD: the same headers, no body.
        status, headers, body = self.server.request("HEAD", "/output/" + name, None,
                                                    {"X-Parcel-Token": token})
        self.assertEqual((status, int(headers["Content-Length"]), body), (200, size, b""))

    def test_token_comes_as_header_and_cookie_and_is_required(self):
        name, token, _ = self.packed(self.server, [("file", "a.txt", b"a" * 100)])
        other, other_token, _ = self.packed(self.server, [("file", "b.txt", b"b" * 100)])
        _, headers, _ = self.server.upload([("file", "c.txt", b"c")])
        cookie = headers["Set-Cookie"]
        self.assertRegex(cookie, r"^parcel_token=[0-9a-f]{32}; Path=/output/zipfile_\d+\.zip; "
                                 r"Max-Age=3600; HttpOnly; SameSite=Strict$")
        self.assertIn("parcel_token=" + token_of(headers) + ";", cookie)
        refused = [{}, {"X-Parcel-Token": "0" * 32}, {"X-Parcel-Token": other_token},
                   {"X-Parcel-Token": token[:-1]}, {"Cookie": "parcel_token=" + other_token}]
        for headers in refused:
            status, _, body = self.server.request("GET", "/output/" + name, None, headers)
            # A wrong token is answered as an unknown name is: nobody learns which names exist.
            self.assertEqual(status, 404, headers)
            self.assertIn(b"download token", body)
        for headers in ({"X-Parcel-Token": token},
                        {"Cookie": f"theme=dark; parcel_token={other_token}; parcel_token={token}"}):
            status, _, body = self.server.request("GET", "/output/" + name, None, headers)
            self.assertEqual(status, 200, headers)
            self.assertEqual(zip_entries(body), {"a.txt": b"a" * 100})
        self.assertEqual(zip_entries(self.download(self.server, other, other_token)),
                         {"b.txt": b"b" * 100})

    def test_unknown_names_and_paths_outside_the_store_are_404(self):
        self.packed(self.server, [("file", "a.txt", b"a")])
        store = self.server.started["store"]
        self.assertTrue(os.path.isdir(store))
        for path in ["/output/zipfile_1.zip", "/output/.parcel-store", "/output/..%2F..%2Fetc%2Fpasswd",
                     "/output/%2e%2e", "/output/", "/output/../../etc/passwd",
                     "/output/" + "%2F".join([".."] * 8) + "%2Fetc%2Fpasswd", "/nothing"]:
            status, _, _ = self.server.request("GET", path, None, {"X-Parcel-Token": "x"})
            self.assertEqual(status, 404, path)

    def test_bad_uploads_are_refused_and_the_server_goes_on(self):
        valid, content_type = multipart([("file", "a.txt", b"a")])
        cases = [
            ("no file at all", *multipart([("path", None, b"docs")]), 400, "holds no file"),
            ("no part at all", *multipart([]), 400, "malformed"),
            ("malformed body", b"--x\r\nnonsense", "multipart/form-data; boundary=x", 400, "malformed"),
            ("no boundary", valid, "multipart/form-data", 400, "malformed"),
            ("cut short", valid[:-20], content_type, 400, "malformed"),
            ("not multipart", b"a=b", "application/x-www-form-urlencoded", 415, "multipart/form-data"),
            ("name of dots", *multipart([("file", "../..", b"a")]), 400, "'..' level"),
            ("name of separators", *multipart([("file", "/\\/", b"a")]), 400, "names no file"),
            ("name too long", *multipart([("file", "n" * 256, b"a")]), 400, "the limit is 255"),
            ("entry too long", *multipart([("path", None, b"p" * 200), ("file", "n" * 59, b"a")]),
             400, "the limit is 259"),
            ("control character", *multipart([("file", "a\x01b", b"a")]), 400, "control character"),
        ]
        for what, body, content_type, status, text in cases:
            got, headers, answer = self.server.request("POST", "/compress", body,
                                                       {"Content-Type": content_type})
            self.assertEqual(got, status, f"{what}: {answer}")
            self.assertIn(text, answer.decode(), what)
            self.assertIsNone(token_of(headers), what)
        status, headers, _ = self.server.request("GET", "/compress")
        self.assertEqual((status, headers["Allow"]), (405, "POST"))
        status, _, body = self.server.request("GET", "/healthz")
        self.assertEqual((status, json.loads(body)["archives"]), (200, 0))

    def test_empty_file_inputs_are_skipped_and_empty_files_left_out(self):
        name, token, _ = self.packed(self.server, [("file", "", b""), ("file", "empty.txt", b""),
                                                   ("file", "full.txt", b"full")])
        self.assertEqual(zip_entries(self.download(self.server, name, token)),
                         {"full.txt": b"full"})

    def test_process_answers_in_the_transfer_form(self):
        files = os.path.join(self.dir, "in")
        os.makedirs(files)
        with open(os.path.join(files, "a.txt"), "wb") as f:
            f.write(b"through /process\n" * 100)
        request_file = os.path.join(self.dir, "saved.req")
        subprocess.run([HOST, "pack", "-q", "-o", os.path.join(self.dir, "cli.zip"),
                        "--request", request_file, "in"], cwd=self.dir, check=True)
        with open(request_file, "rb") as f:
            request = f.read()
        headers = {"Content-Type": "application/octet-stream"}
        status, answer_headers, response = self.server.request("POST", "/process", request, headers)
        self.assertEqual((status, answer_headers.get_content_type()),
                         (200, "application/octet-stream"))
        (meta_type, meta, _, document), (zip_type, zip_name, file_name, archive) = \
            transfer_records(response)
        self.assertEqual((meta_type, meta, zip_type, zip_name),
                         ("text/xml", "META", "application/zip", "ZIPFILE"))
        self.assertEqual(DOCUMENT.fullmatch(document.decode()).group(2), file_name)
        self.assertArchive(archive, {"in\\a.txt": b"through /process\n" * 100})
        # Nothing of it is kept for download.
        self.assertEqual(self.server.request("GET", "/output/" + file_name)[0], 404)
        # A request the module cannot read gets its error document.
        status, _, response = self.server.request("POST", "/process", b"not a request", headers)
        self.assertEqual(status, 200)
        self.assertEqual(transfer_records(response), [
            ("text/xml", "META", "",
             b'<?xml version="1.0"?><RESPONSE><ERROR code="2">invalid xml</ERROR></RESPONSE>')])
        self.assertEqual(self.server.request("POST", "/process", b"", headers)[0], 400)

    def test_sixteen_concurrent_uploads_each_get_their_own_archive(self):
        count = 16
        barrier = threading.Barrier(count)
        results = [None] * count

        def client(k):
            parts = sample_parts(k, tag=str(k))
            body, content_type = multipart(parts)
            barrier.wait(timeout=60)
            try:
                status, headers, document = self.server.request("POST", "/compress", body,
                                                                {"Content-Type": content_type})
                match = DOCUMENT.fullmatch(document.decode())
                name = match.group(2) if match else None
                archive = self.server.request("GET", f"/output/{name}", None,
                                              {"X-Parcel-Token": token_of(headers) or ""})
                results[k] = (status, name, archive[0], archive[2])
            except Exception as failure:  # reported by the main thread
                results[k] = (repr(failure), None, None, None)

        run_clients(client, count)
        names = set()
        for k, (status, name, download_status, archive) in enumerate(results):
            self.assertEqual((status, download_status), (200, 200), k)
            self.assertArchive(archive, sample_entries(k, tag=str(k)))
            names.add(name)
        self.assertEqual(len(names), count)

    def test_page_health_and_access_log(self):
        status, headers, page = self.server.request("GET", "/")
        self.assertEqual((status, headers.get_content_type()), (200, "text/html"))
        self.assertIn(b'action="/compress"', page)
        self.assertIn(b'type="file"', page)
        status, headers, body = self.server.request("GET", "/healthz")
        health = json.loads(body)
        self.assertEqual((status, health["status"], health["workers"]), (200, "ok", 4))
        self.server.request("GET", "/nothing?secret=1")
        # Each line is written when its response has gone out, so lines of
        # quick requests one after the other may come in either order.
        log = sorted(self.server.access_log(3), key=lambda e: e["path"])
        self.assertEqual([(e["method"], e["path"], e["status"]) for e in log],
                         [("GET", "/", 200), ("GET", "/healthz", 200), ("GET", "/nothing", 404)])
        self.assertEqual([e["bytes"] for e in log[:2]], [len(page), len(body)])
        for entry in log:
            self.assertEqual(entry["remote"], "127.0.0.1")
            self.assertGreaterEqual(entry["ms"], 0)
            self.assertRegex(entry["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")


class LimitTest(ServerTestCase):
    """Upload and store limits, and the server's own options."""

    def test_upload_limit(self):
        server = self.start("--max-upload", "100000")
        self.assertEqual(self.packed(server, [("file", "a.bin", os.urandom(90_000))])[0][:8],
                         "zipfile_")
        status, _, body = server.upload([("file", "a.bin", os.urandom(100_001))])
        self.assertEqual(status, 413, body)
        status, _, body = server.request("POST", "/process", bytes(100_001),
                                         {"Content-Type": "application/octet-stream"})
        self.assertEqual(status, 413, body)
        # A chunked body carries no length to refuse early: it is counted as it
        # comes, and read to its end (up to the limit once more) before the 413.
        body, content_type = multipart([("file", "a.bin", os.urandom(150_000))])
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
        connection.request("POST", "/compress", body=iter([body[i:i + 10_000] for i in
                                                           range(0, len(body), 10_000)]),
                           headers={"Content-Type": content_type}, encode_chunked=True)
        response = connection.getresponse()
        self.assertEqual(response.status, 413)
        self.assertIn(b"larger than the upload limit", response.read())
        connection.close()

    def test_file_count_limit(self):
        server = self.start("--max-files", "3")
        parts = [("file", f"{k}.txt", b"x") for k in range(4)]
        status, _, body = server.upload(parts)
        self.assertEqual(status, 413)
        self.assertIn(b"more than 3 files", body)
        name, token, _ = self.packed(server, parts[:3])
        self.assertEqual(len(zip_entries(self.download(server, name, token))), 3)

    def test_full_store_refuses_and_keeps_what_it_holds(self):
        server = self.start("--store-size", "5000")
        first = os.urandom(3000)  # random bytes do not shrink
        name, token, _ = self.packed(server, [("file", "first.bin", first)])
        for data, text in [(os.urandom(3000), b"the output store is full"),
                           (os.urandom(6000), b"larger than the whole output store")]:
            status, headers, body = server.upload([("file", "second.bin", data)])
            self.assertEqual(status, 507, body)
            self.assertIn(text, body)
        status, headers, _ = server.upload([("file", "second.bin", os.urandom(3000))])
        self.assertGreaterEqual(int(headers["Retry-After"]), 3500)
        self.assertEqual(zip_entries(self.download(server, name, token)), {"first.bin": first})

    def test_archives_expire(self):
        server = self.start("--expiry", "1s")
        name, token, _ = self.packed(server, [("file", "a.txt", b"a")])
        self.download(server, name, token)
        deadline = time.monotonic() + 30
        while server.request("GET", "/output/" + name, None, {"X-Parcel-Token": token})[0] != 404:
            self.assertLess(time.monotonic(), deadline, "the archive never expired")
            time.sleep(0.2)
        health = json.loads(server.request("GET", "/healthz")[2])
        self.assertEqual((health["archives"], health["store_bytes"]), (0, 0))
        self.assertEqual(os.listdir(server.started["store"]), [".parcel-store"])

    def test_public_downloads_need_no_token(self):
        server = self.start("--public-downloads")
        status, headers, body = server.upload([("file", "a.txt", b"public")])
        self.assertEqual(status, 200)
        self.assertIsNone(token_of(headers))
        self.assertIsNone(headers["Set-Cookie"])
        name = DOCUMENT.fullmatch(body.decode()).group(2)
        self.assertEqual(zip_entries(self.download(server, name, None)), {"a.txt": b"public"})

    def test_store_directory_rules(self):
        store = os.path.join(self.dir, "store")
        server = self.spawn("--store", store)
        name, token, _ = self.packed(server, [("file", "a.txt", b"a")])
        self.assertTrue(os.path.isfile(os.path.join(store, name)))
        # A second server may not share the directory.
        second = subprocess.run([HOST, "serve", "--port", "0", "--store", store],
                                capture_output=True, timeout=60)
        self.assertEqual(second.returncode, EXIT_OUTPUT)
        self.assertIn(b"another server uses the store directory", second.stderr)
        self.assertEqual(server.stop(signal.SIGINT), 0)
        self.assertEqual(os.listdir(store), [".parcel-store"])
        # A store of an earlier run is taken again and cleared.
        with open(os.path.join(store, "zipfile_9.zip"), "wb") as f:
            f.write(b"left over")
        self.assertStops(self.spawn("--store", store))
        self.assertEqual(os.listdir(store), [".parcel-store"])
        # Any other directory with something in it is refused.
        other = os.path.join(self.dir, "other")
        os.makedirs(other)
        open(os.path.join(other, "precious.txt"), "wb").close()
        refused = subprocess.run([HOST, "serve", "--port", "0", "--store", other],
                                 capture_output=True, timeout=60)
        self.assertEqual(refused.returncode, EXIT_OUTPUT)
        self.assertIn(b"neither empty nor a store directory", refused.stderr)
        self.assertEqual(os.listdir(other), ["precious.txt"])

    def test_default_store_is_removed_and_a_busy_port_refused(self):
        server = self.spawn()
        store = server.started["store"]
        self.packed(server, [("file", "a.txt", b"a")])
        busy = subprocess.run([HOST, "serve", "--listen", "127.0.0.1", "--port", str(server.port)],
                              capture_output=True, timeout=60)
        self.assertEqual(busy.returncode, EXIT_LISTEN, busy.stderr)
        self.assertEqual(server.stop(), 0)
        self.assertFalse(os.path.exists(store))


class FakeModuleTest(ServerTestCase):
    """Answers the real module never gives: colliding names, error documents,
    broken responses."""

    def setUp(self):
        super().setUp()
        if not FAKE_MODULE:
            self.skipTest("no fake module")

    def fake(self, kind, *args):
        return self.start("--module", FAKE_MODULE, *args, env={"PARCEL_FAKE_RESPONSE": kind})

    def test_a_taken_name_runs_the_request_again(self):
        server = self.fake("collide", "--threads", "1")
        first, first_token, _ = self.packed(server, [("file", "first", b"1")])
        second, second_token, _ = self.packed(server, [("file", "second", b"2")])
        # The module gave the second request the first one's name; its rerun got a new one.
        self.assertEqual((first, second), ("zipfile_0.zip", "zipfile_1.zip"))
        self.assertEqual(zip_comment(self.download(server, first, first_token)), "first")
        self.assertEqual(zip_comment(self.download(server, second, second_token)), "second")

    def test_concurrent_collisions_never_mix_archives(self):
        server = self.fake("collide", "--threads", "8")
        count = 16
        barrier = threading.Barrier(count)
        results = [None] * count

        def client(k):
            body, content_type = multipart([("file", f"client-{k}", b"x")])
            barrier.wait(timeout=60)
            results[k] = server.request("POST", "/compress", body, {"Content-Type": content_type})

        run_clients(client, count)
        names = set()
        for k, (status, headers, body) in enumerate(results):
            self.assertEqual(status, 200, body)
            name = DOCUMENT.fullmatch(body.decode()).group(2)
            names.add(name)
            self.assertEqual(zip_comment(self.download(server, name, token_of(headers))),
                             f"client-{k}")
        self.assertEqual(len(names), count)

    def test_a_name_that_stays_taken_is_refused_not_overwritten(self):
        server = self.fake("same-name")
        name, token, _ = self.packed(server, [("file", "first", b"1")])
        status, headers, body = server.upload([("file", "second", b"2")])
        self.assertEqual(status, 503, body)
        self.assertIn(b"no free name", body)
        self.assertIsNone(token_of(headers))
        self.assertEqual(zip_comment(self.download(server, name, token)), "first")

    def test_error_document_is_the_answer(self):
        server = self.fake("error")
        status, headers, body = server.upload([("file", "a.txt", b"a")])
        self.assertEqual((status, headers.get_content_type()), (200, "text/xml"))
        self.assertEqual(body, b'<?xml version="1.0"?><RESPONSE><ERROR code="3">internal error '
                               b'while opening zip</ERROR></RESPONSE>')
        self.assertIsNone(token_of(headers))
        self.assertEqual(json.loads(server.request("GET", "/healthz")[2])["archives"], 0)

    def test_broken_responses_are_502(self):
        cases = [("none", "no response"), ("garbage", "malformed"),
                 ("no-zip", "does not hold the archive"), ("damaged", "damaged"),
                 ("empty-zip", "names the archive '/output/zipfile_1.zip', its archive record 'z.zip'")]
        for kind, text in cases:
            server = self.fake(kind)
            status, _, body = server.upload([("file", "a.txt", b"a")])
            self.assertEqual(status, 502, kind)
            self.assertIn(text, body.decode(), kind)
            self.assertEqual(server.request("GET", "/healthz")[0], 200, kind)


class ShutdownTest(ServerTestCase):
    """SIGINT and SIGTERM stop the server once the requests in flight are done."""

    def test_request_in_flight_is_finished(self):
        server = self.spawn()
        body, content_type = multipart([("file", "slow.txt", b"slow upload\n" * 5000)])
        half = len(body) // 2
        connection = socket.create_connection(("127.0.0.1", server.port), timeout=60)
        connection.sendall(f"POST /compress HTTP/1.1\r\nHost: x\r\nContent-Type: {content_type}\r\n"
                           f"Content-Length: {len(body)}\r\n\r\n".encode() + body[:half])
        # The upload is being read once the server counts it beside this query.
        deadline = time.monotonic() + 30
        while json.loads(server.request("GET", "/healthz")[2])["requests_in_flight"] < 2:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        server.proc.send_signal(signal.SIGTERM)
        connection.sendall(body[half:])
        reply = b""
        while b"</RESPONSE>" not in reply:
            chunk = connection.recv(65536)
            self.assertTrue(chunk, reply)
            reply += chunk
        connection.close()
        self.assertTrue(reply.startswith(b"HTTP/1.1 200 OK\r\n"), reply)
        self.assertRegex(reply.decode(), DOCUMENT.pattern)
        self.assertEqual(server.wait(), 0)
        self.assertIn("stopping on SIGTERM", "".join(server.stderr))
        paths = [json.loads(line)["path"] for line in list(server.lines.queue)
                 if '"path"' in line]
        self.assertIn("/compress", paths)

    def test_idle_keep_alive_connection_does_not_hold_the_server(self):
        server = self.spawn()
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
        connection.request("GET", "/healthz")
        self.assertEqual(connection.getresponse().read()[:15], b'{"status":"ok",')
        started = time.monotonic()
        self.assertEqual(server.stop(signal.SIGINT), 0)
        self.assertLess(time.monotonic() - started, 20)
        connection.close()


class BrowserTest(ServerTestCase):
    """The upload page in headless Chromium: pick files, pack, download."""

    def setUp(self):
        super().setUp()
        if not BROWSER_SCRIPT:
            self.skipTest("no browser script given")

    def test_pick_pack_and_download(self):
        server = self.start()
        files = {"report.txt": b"a report\n" * 1000, "caf\u00e9 menu.txt": "\u00e9t\u00e9\n".encode(),
                 "random.bin": os.urandom(20_000)}
        paths = []
        for name, data in files.items():
            paths.append(os.path.join(self.dir, name))
            with open(paths[-1], "wb") as f:
                f.write(data)
        downloads = os.path.join(self.dir, "downloads")
        run = subprocess.run(
            ["node", BROWSER_SCRIPT, "--url", server.url("/"), "--path", "docs\\2024",
             "--downloads", downloads, *paths],
            capture_output=True, timeout=300, env=dict(os.environ, NODE_PATH=NODE_MODULES))
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        result = json.loads(run.stdout.decode().strip().splitlines()[-1])
        self.assertRegex(result["status"], r"^Packed 3 files\.$")
        self.assertRegex(result["href"], r"^/output/zipfile_\d+\.zip$")
        with open(result["saved"], "rb") as f:
            archive = f.read()
        self.assertArchive(archive, {"docs\\2024\\" + n: d for n, d in files.items()})
        # The browser fetched it with the cookie alone: without it the archive is refused.
        self.assertEqual(server.request("GET", result["href"])[0], 404)


def main():
    global HOST, FAKE_MODULE, BROWSER_SCRIPT, NODE_MODULES
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--host", required=True)
    parser.add_argument("--fake-module")
    parser.add_argument("--browser-script")
    parser.add_argument("--node-modules")
    args, rest = parser.parse_known_args()
    HOST = os.path.abspath(args.host)
    FAKE_MODULE = os.path.abspath(args.fake_module) if args.fake_module else None
    BROWSER_SCRIPT = os.path.abspath(args.browser_script) if args.browser_script else None
    NODE_MODULES = os.path.abspath(args.node_modules) if args.node_modules else None
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
