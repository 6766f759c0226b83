#!/usr/bin/env python3
"""End-to-end tests of parcel-host serve: the built server runs on an
ephemeral loopback port with the built module (or the stand-in module), real
HTTP clients upload files, and the archives they download are checked with
unzip -t and zipfile down to the last byte. Every server is stopped with a
signal at the end of its test and must exit cleanly.

usage: serve_e2e.py --host PATH [--fake-module PATH]
                    [--browser-script PATH --node-modules DIR [--screenshots DIR]]
                    [unittest arguments...]
"""
import argparse
import email.utils
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
SCREENSHOTS = None

EXIT_OUTPUT, EXIT_LISTEN = 4, 8
DOCUMENT = re.compile(r'<\?xml version="1\.0"\?><RESPONSE><COMPRESSED_FILE name="ZIPFILE" '
                      r'type="application/zip" size="(\d+)" url="/output/([^"]+)"/></RESPONSE>')


class Server:
    """One parcel-host serve process on 127.0.0.1 and a port of the system's
    choosing, read from the first line it prints."""

    def __init__(self, *args, env=None, prefix=()):
        environment = dict(os.environ)
        environment.update(env or {})
        self.proc = subprocess.Popen(
            [*prefix, HOST, "serve", "--listen", "127.0.0.1", "--port", "0", *args],
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

    def stderr_text(self, waiting_for, seconds=10):
        """What the server wrote to its standard error, once it holds
        `waiting_for` or `seconds` have passed: the reader thread may still be
        passing a line on when the answer that follows it has arrived."""
        deadline = time.monotonic() + seconds
        while waiting_for not in "".join(self.stderr) and time.monotonic() < deadline:
            time.sleep(0.02)
        return "".join(self.stderr)

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

    def upload_from(self, source, parts):
        """(status, headers, body) of an upload from client address `source`."""
        body, content_type = multipart(parts)
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=120,
                                                source_address=(source, 0))
        connection.request("POST", "/compress", body, {"Content-Type": content_type})
        response = connection.getresponse()
        answer = (response.status, response.headers, response.read())
        connection.close()
        return answer

    def health(self):
        return json.loads(self.request("GET", "/healthz")[2])

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
        disposition = f'form-data; name="{field}"'.encode()
        if filename is not None:
            raw = filename if isinstance(filename, bytes) else filename.encode()
            disposition += b'; filename="' + raw.replace(b'"', b"%22") + b'"'
        out.write(f"--{boundary}\r\nContent-Disposition: ".encode() + disposition + b"\r\n")
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


def connect(port, source="127.0.0.1", timeout=30):
    """A raw connection from client address `source`."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    return s


def read_until_closed(s):
    data = b""
    while True:
        try:
            chunk = s.recv(65536)
        except (ConnectionResetError, socket.timeout):
            break
        if not chunk:
            break
        data += chunk
    return data


def read_answers(s, count, heads=()):
    """The next `count` answers on `s`, interim ones (100) included, as
    (status, {lower-case field: value}, body); heads[k] marks the answer to a
    HEAD request, whose length field comes without a body."""
    buffer, answers = b"", []
    while len(answers) < count:
        while b"\r\n\r\n" not in buffer:
            chunk = s.recv(65536)
            if not chunk:
                return answers
            buffer += chunk
        head, buffer = buffer.split(b"\r\n\r\n", 1)
        lines = head.decode("latin-1").split("\r\n")
        status = int(lines[0].split()[1])
        fields = {}
        for line in lines[1:]:
            name, value = line.split(":", 1)
            fields.setdefault(name.strip().lower(), value.strip())
        final = [a for a in answers if a[0] >= 200]
        is_head = status >= 200 and len(final) < len(heads) and heads[len(final)]
        length = 0 if status < 200 or is_head else int(fields.get("content-length", 0))
        while len(buffer) < length:
            chunk = s.recv(65536)
            if not chunk:
                break
            buffer += chunk
        answers.append((status, fields, buffer[:length]))
        buffer = buffer[length:]
    return answers


def head_of(method, path, fields=""):
    return f"{method} {path} HTTP/1.1\r\nHost: test\r\n{fields}\r\n".encode()


class ServerTestCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="parcel-serve-e2e-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def start(self, *args, env=None, prefix=()):
        """A server stopped when the test ends, which must exit with 0."""
        server = self.spawn(*args, env=env, prefix=prefix)
        self.addCleanup(self.assertStops, server)
        return server

    def spawn(self, *args, env=None, prefix=()):
        """A server the test stops itself; killed should the test fail first."""
        server = Server(*args, env=env, prefix=prefix)
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

    def test_the_listing_is_guarded_like_the_download(self):
        name, token, size = self.packed(self.server, sample_parts(4, tag="4"))
        archive = self.download(self.server, name, token)
        entries = f"/output/{name}/entries"
        status, headers, body = self.server.request("GET", entries, None,
                                                    {"X-Parcel-Token": token})
        self.assertEqual((status, headers.get_content_type()), (200, "application/json"), body)
        self.assertEqual(headers["Cache-Control"], "private, no-store")
        listing = json.loads(body)
        self.assertEqual((listing["archive"], listing["size"]), (name, size))
        self.assertTrue(3500 < listing["expires_in"] <= 3600, listing["expires_in"])
        with zipfile.ZipFile(io.BytesIO(archive)) as zf:
            expected = [(i.filename.encode("utf-8" if i.flag_bits & 0x800 else "cp437").decode(),
                         i.file_size, i.compress_size, i.compress_type) for i in zf.infolist()]
        self.assertEqual([(e["name"], e["size"], e["packed"], e["method"])
                          for e in listing["entries"]], expected)
        self.assertIn("\u00e9t\u00e9\\2024\\sub\\dir\\caf\u00e9 4.txt", [e[0] for e in expected])
        # The cookie the upload set reaches the listing by its path.
        cookie = {"Cookie": "parcel_token=" + token}
        self.assertEqual(self.server.request("GET", entries, None, cookie)[2], body)
        # Whatever is wrong, the answer is the download's own 404.
        wrong = {"X-Parcel-Token": "0" * 32}
        refused = self.server.request("GET", "/output/" + name, None, wrong)
        self.assertEqual(refused[0], 404)
        right = {"X-Parcel-Token": token}
        for path, fields in [(entries, wrong), (entries, {}),
                             ("/output/zipfile_1.zip/entries", right),
                             (f"/output/x/{name}/entries", right),
                             (f"/output/{name}/entries/entries", right),
                             ("/output//entries", right)]:
            status, _, answer = self.server.request("GET", path, None, fields)
            self.assertEqual((status, answer), (404, refused[2]), (path, fields))
        status, headers, answer = self.server.request("HEAD", entries, None, right)
        self.assertEqual((status, answer, int(headers["Content-Length"])), (200, b"", len(body)))
        status, headers, _ = self.server.request("POST", entries, b"x", right)
        self.assertEqual((status, headers["Allow"]), (405, "GET, HEAD"))

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
        # A store of an earlier run is taken again and cleared of its own
        # files; what others put there stays.
        with open(os.path.join(store, "zipfile_9.zip"), "wb") as f:
            f.write(b"left over")
        with open(os.path.join(store, "notes.txt"), "wb") as f:
            f.write(b"someone's")
        os.makedirs(os.path.join(store, "folder"))
        self.assertStops(self.spawn("--store", store))
        self.assertEqual(sorted(os.listdir(store)), [".parcel-store", "folder", "notes.txt"])
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

    def test_sigterm_lets_a_download_finish(self):
        server = self.spawn()
        data = os.urandom(30 << 20)
        name, token, size = self.packed(server, [("file", "big.bin", data)])
        s = connect(server.port, timeout=60)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 16)
        s.sendall(head_of("GET", "/output/" + name, f"X-Parcel-Token: {token}\r\n"))
        received = s.recv(1 << 16)
        server.proc.send_signal(signal.SIGTERM)
        started = time.monotonic()
        # Read at about 10 MB/s: the download outlasts the moment of the signal by seconds.
        while True:
            chunk = s.recv(1 << 16)
            if not chunk:
                break
            received += chunk
            time.sleep(0.005)
        s.close()
        self.assertGreater(time.monotonic() - started, 1)
        head, body = received.split(b"\r\n\r\n", 1)
        self.assertTrue(head.startswith(b"HTTP/1.1 200 OK\r\n"), head)
        self.assertEqual(len(body), size)
        self.assertEqual(zip_entries(body), {"big.bin": data})
        self.assertEqual(server.wait(), 0)

    def test_idle_keep_alive_connection_does_not_hold_the_server(self):
        server = self.spawn()
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
        connection.request("GET", "/healthz")
        self.assertEqual(connection.getresponse().read()[:15], b'{"status":"ok",')
        started = time.monotonic()
        self.assertEqual(server.stop(signal.SIGINT), 0)
        self.assertLess(time.monotonic() - started, 20)
        connection.close()


class Drip:
    """Sends one byte a while into each of `sockets` until stopped."""

    def __init__(self, sockets, interval=1.0, byte=b"a"):
        self.sockets, self.interval, self.byte = sockets, interval, byte
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while not self.stopped.wait(self.interval):
            for s in self.sockets:
                try:
                    s.send(self.byte)
                except OSError:
                    pass

    def stop(self):
        self.stopped.set()
        self.thread.join(timeout=10)
        for s in self.sockets:
            s.close()


class SlowClientTest(ServerTestCase):
    """Connections that send slowly or nothing cost no worker and are cut off
    at their deadlines."""

    def test_slow_and_idle_connections_do_not_delay_others(self):
        server = self.start()  # the default worker count
        # 32 connections that send a request line, then a byte a second, and
        # 32 that send nothing, all from another address.
        slow = [connect(server.port, "127.0.0.2") for _ in range(64)]
        for s in slow[:32]:
            s.sendall(b"GET / HTTP/1.1\r\n")
        drip = Drip(slow[:32])
        self.addCleanup(drip.stop)
        deadline = time.monotonic() + 30
        while server.health()["connections"] < 65:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        worst = 0
        for k in range(13):
            started = time.monotonic()
            if k % 2:
                status = server.request("GET", "/healthz")[0]
            else:
                status = server.upload([("file", f"n{k}.txt", b"ordinary\n" * 100)])[0]
            worst = max(worst, time.monotonic() - started)
            self.assertEqual(status, 200, k)
        self.assertLess(worst, 1.0)

    def test_deadlines_close_slow_and_idle_connections(self):
        server = self.start("--head-timeout", "1s", "--idle-timeout", "1s", "--min-rate", "10K")
        head = connect(server.port)
        head.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n")
        body = connect(server.port)
        body.sendall(head_of("POST", "/process", "Content-Length: 100000\r\n") + b"0123456789")
        drip = Drip([head, body], interval=0.2, byte=b"x")
        idle = connect(server.port)
        kept = connect(server.port)
        kept.sendall(head_of("GET", "/healthz"))
        self.assertEqual(read_answers(kept, 1)[0][0], 200)
        started = time.monotonic()
        for s, expected in [(head, b"HTTP/1.1 408 "), (body, b"HTTP/1.1 408 "), (idle, b""),
                            (kept, b"")]:
            self.assertEqual(read_until_closed(s)[:len(expected)], expected)
        self.assertLess(time.monotonic() - started, 6)
        drip.stopped.set()
        for s in (idle, kept):
            s.close()

    def test_connections_are_capped_per_address_and_in_total(self):
        server = self.start("--max-client-connections", "3", "--max-connections", "6")
        held = [connect(server.port, "127.0.0.2") for _ in range(3)]
        refused = connect(server.port, "127.0.0.2")
        status, fields, body = read_answers(refused, 1)[0]
        self.assertEqual((status, fields["connection"]), (503, "close"))
        self.assertIn(b"from this address", body)
        self.assertGreater(int(fields["retry-after"]), 0)
        refused.close()
        status, _, body = server.request("GET", "/healthz")
        self.assertEqual(status, 200, body)
        # Six held in all: the seventh is refused whatever its address.
        held += [connect(server.port, "127.0.0.3") for _ in range(3)]
        over = connect(server.port, "127.0.0.4")
        status, _, body = read_answers(over, 1)[0]
        self.assertEqual(status, 503)
        self.assertIn(b"the server has too many connections", body)
        over.close()
        for s in held:
            s.close()
        deadline = time.monotonic() + 30
        while server.request("GET", "/healthz")[0] != 200:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)

    def test_sigterm_stops_the_server_despite_a_slow_client(self):
        server = self.spawn()
        s = connect(server.port)
        s.sendall(b"GET / HTTP/1.1\r\n")
        drip = Drip([s])
        self.addCleanup(drip.stop)
        self.assertEqual(server.request("GET", "/healthz")[0], 200)
        started = time.monotonic()
        self.assertEqual(server.stop(), 0)
        self.assertLess(time.monotonic() - started, 5)


class FramingTest(ServerTestCase):
    """Limits applied before the body, lengths, pipelining and half-closes."""

    def setUp(self):
        super().setUp()
        self.server = self.start("--max-upload", "4M")

    def test_a_declared_length_over_the_limit_is_refused_before_the_body(self):
        s = connect(self.server.port)
        s.sendall(head_of("POST", "/compress", "Content-Type: multipart/form-data; boundary=x\r\n"
                                               "Content-Length: 100000000\r\n"
                                               "Expect: 100-continue\r\n"))
        answers = read_answers(s, 1)
        self.assertEqual([a[0] for a in answers], [413])  # and no 100 Continue before it
        self.assertIn(b"larger than the upload limit", answers[0][2])
        s.close()
        if not shutil.which("curl"):
            return
        big = os.path.join(self.dir, "big.bin")
        with open(big, "wb") as f:
            f.truncate(20 << 20)
        started = time.monotonic()
        curl = subprocess.run(["curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{size_upload}",
                               "-F", f"file=@{big}", self.server.url("/compress")],
                              capture_output=True, timeout=60)
        code, uploaded = curl.stdout.decode().split()
        self.assertEqual(code, "413")
        self.assertLess(int(float(uploaded)), 1 << 20)
        self.assertLess(time.monotonic() - started, 5)

    def test_bad_lengths_are_400_and_close_the_connection(self):
        lengths = ["Content-Length: -1", f"Content-Length: {2**64 + 5}", "Content-Length: 5, 5",
                   "Content-Length: 0x10", "Content-Length: 5\r\nContent-Length: 6",
                   "Content-Length: 5\r\nContent-Length: 5",
                   "Content-Length: 5\r\nTransfer-Encoding: chunked"]
        for fields in lengths:
            s = connect(self.server.port, timeout=10)
            s.sendall(head_of("POST", "/process", fields + "\r\n") + b"12345")
            answer = read_until_closed(s)
            self.assertTrue(answer.startswith(b"HTTP/1.1 400 "), (fields, answer[:100]))
            self.assertIn(b"Connection: close", answer)
            s.close()

    def test_pipelined_requests_are_answered_in_order(self):
        body, content_type = multipart([("file", "p.txt", b"pipelined")])
        s = connect(self.server.port)
        s.sendall(head_of("GET", "/healthz") + head_of("GET", "/") + head_of("GET", "/nothing") +
                  head_of("POST", "/compress", f"Content-Type: {content_type}\r\n"
                                               f"Content-Length: {len(body)}\r\n") + body +
                  head_of("HEAD", "/") + head_of("GET", "/healthz"))
        answers = read_answers(s, 6, heads=[False] * 4 + [True, False])
        self.assertEqual([a[0] for a in answers], [200, 200, 404, 200, 200, 200])
        self.assertEqual([a[1]["content-type"].split(";")[0] for a in answers],
                         ["application/json", "text/html", "text/plain", "text/xml", "text/html",
                          "application/json"])
        self.assertEqual(answers[4][2], b"")
        counts = [int(a[1]["x-request-id"].split("-")[1]) for a in answers]
        self.assertEqual(counts, sorted(counts))
        self.assertEqual(len(set(counts)), 6)
        s.close()

    def test_a_half_closed_request_is_answered(self):
        s = connect(self.server.port)
        s.sendall(head_of("GET", "/healthz"))
        s.shutdown(socket.SHUT_WR)
        answer = read_until_closed(s)
        self.assertTrue(answer.startswith(b"HTTP/1.1 200 OK\r\n"), answer)
        self.assertIn(b'"status":"ok"', answer)
        s.close()
        # An upload that half-closes gets its archive, and the archive stays.
        body, content_type = multipart([("file", "half.txt", b"half-closed")])
        s = connect(self.server.port)
        s.sendall(head_of("POST", "/compress", f"Content-Type: {content_type}\r\n"
                                               f"Content-Length: {len(body)}\r\n") + body)
        s.shutdown(socket.SHUT_WR)
        answer = read_until_closed(s)
        s.close()
        match = DOCUMENT.search(answer.decode("latin-1"))
        self.assertIsNotNone(match, answer)
        token = re.search(r"X-Parcel-Token: (\w+)", answer.decode("latin-1")).group(1)
        time.sleep(0.5)  # past the server's check that the answer arrived
        self.assertEqual(zip_entries(self.download(self.server, match.group(2), token)),
                         {"half.txt": b"half-closed"})


class RangeTest(ServerTestCase):
    def test_ranges_as_rfc_9110_says(self):
        server = self.start()
        name, token, size = self.packed(server, [("file", "r.bin", os.urandom(5000))])
        whole = self.download(server, name, token)
        cases = [("bytes=0-100000", 206, 0, size), ("bytes=10-19", 206, 10, 20),
                 ("bytes=-10", 206, size - 10, size), (f"bytes={size - 1}-", 206, size - 1, size),
                 ("bytes=999999-", 416, 0, 0), (f"bytes={size}-", 416, 0, 0),
                 ("bytes=0-1,5-9", 200, 0, size), ("bytes=" + ",".join(["0-9"] * 100), 200, 0, size),
                 ("bytes=9-5", 200, 0, size), ("pages=1-2", 200, 0, size)]
        for value, status, first, end in cases:
            got, headers, body = server.request("GET", "/output/" + name, None,
                                                {"X-Parcel-Token": token, "Range": value})
            self.assertEqual(got, status, value)
            self.assertEqual(int(headers["Content-Length"]), len(body), value)
            if status == 206:
                self.assertEqual(headers["Content-Range"], f"bytes {first}-{end - 1}/{size}")
                self.assertEqual(body, whole[first:end], value)
            elif status == 416:
                self.assertEqual(headers["Content-Range"], f"bytes */{size}")
            else:
                self.assertIsNone(headers["Content-Range"], value)
                self.assertEqual(body, whole, value)
        # No 206 on an error, nor for HEAD or a conditional range.
        self.assertEqual(server.request("GET", "/output/" + name, None, {"Range": "bytes=0-9"})[0],
                         404)
        got, headers, body = server.request("HEAD", "/output/" + name, None,
                                            {"X-Parcel-Token": token, "Range": "bytes=0-9"})
        self.assertEqual((got, int(headers["Content-Length"]), body), (200, size, b""))
        got, _, body = server.request("GET", "/output/" + name, None,
                                      {"X-Parcel-Token": token, "Range": "bytes=0-9",
                                       "If-Range": '"x"'})
        self.assertEqual((got, body), (200, whole))


class NameTest(ServerTestCase):
    """Entry names from uploads: what is removed, what is refused."""

    def test_drive_letters_and_leading_separators_are_removed(self):
        server = self.start()
        name, token, _ = self.packed(server, [
            ("file", "C:\\Windows\\evil.txt", b"e"), ("path", None, b"C:\\"),
            ("file", "/etc/x.txt", b"x"), ("path", None, "d:/\u00e9t\u00e9".encode()),
            ("file", "\\\\server\\a.txt", b"a")])
        self.assertEqual(zip_entries(self.download(server, name, token)),
                         {"Windows\\evil.txt": b"e", "etc\\x.txt": b"x",
                          "\u00e9t\u00e9\\server\\a.txt": b"a"})

    def test_unsafe_names_are_refused(self):
        server = self.start()
        cases = [
            ("a '.' level in a path", [("path", None, b"a/./b"), ("file", "x", b"x")], "'.' or '..'"),
            ("a '..' level in a name", [("file", "a/../b", b"x")], "'.' or '..'"),
            ("a control character in a path", [("path", None, b"a\x01b"), ("file", "x", b"x")],
             "control character"),
            ("a tab in a name", [("file", "a\tb", b"x")], "control character"),
            ("Latin-1 in a name", [("file", b"caf\xe9.txt", b"x")], "not UTF-8"),
            ("Latin-1 in a path", [("path", None, b"\xe9t\xe9"), ("file", "x", b"x")], "not UTF-8"),
            ("one entry twice", [("file", "a.txt", b"1"), ("file", "a.txt", b"2")], "given twice"),
            ("twice through a path", [("file", "d/a.txt", b"1"), ("path", None, b"d"),
                                      ("file", "a.txt", b"2")], "given twice"),
        ]
        for what, parts, text in cases:
            status, headers, body = server.upload(parts)
            self.assertEqual(status, 400, what)
            self.assertIn(text, body.decode(), what)
            self.assertIsNone(token_of(headers), what)
        self.assertEqual(server.health()["archives"], 0)

    def test_the_answer_names_the_empty_files_left_out(self):
        server = self.start()
        status, headers, body = server.upload([
            ("file", "empty.txt", b""), ("path", None, b"d"), ("file", "also empty, too.txt", b""),
            ("file", "full.txt", b"f")])
        self.assertEqual(status, 200, body)
        self.assertEqual(headers["X-Parcel-Empty-Files"], "2")
        self.assertEqual(headers["X-Parcel-Empty-File-Names"],
                         "empty.txt, d%5Calso%20empty%2C%20too.txt")
        name = DOCUMENT.fullmatch(body.decode()).group(2)
        self.assertEqual(zip_entries(self.download(server, name, token_of(headers))),
                         {"d\\full.txt": b"f"})
        status, headers, _ = server.upload([("file", "full.txt", b"f")])
        self.assertIsNone(headers["X-Parcel-Empty-Files"])


class StoreTest(ServerTestCase):
    """The output store under a full disk, a crash, clients that go away and
    clients that would take all of it."""

    def test_a_full_disk_is_507_without_a_path(self):
        if not shutil.which("prlimit"):
            self.skipTest("prlimit is not installed")
        # A file size limit stands in for a full disk: writes past it fail.
        server = self.start(prefix=["prlimit", "--fsize=100000"])
        status, headers, body = server.upload([("file", "big.bin", os.urandom(200_000))])
        self.assertEqual(status, 507, body)
        self.assertIn(b"no room", body)
        self.assertNotIn(server.started["store"].encode(), body)
        self.assertNotIn(b"/", body)
        self.assertGreater(int(headers["Retry-After"]), 0)
        store = server.started["store"]
        self.assertIn(store, server.stderr_text(store))  # the server's own log
        self.assertEqual(os.listdir(server.started["store"]), [".parcel-store"])
        self.packed(server, [("file", "small.txt", b"fits")])

    def test_a_killed_server_leaves_no_truncated_archive(self):
        store = os.path.join(self.dir, "store")
        data = os.urandom(40 << 20)
        for attempt in range(5):
            server = self.spawn("--store", store, "--max-upload", "64M")
            def upload():
                try:
                    server.upload([("file", "big.bin", data)])
                except (OSError, http.client.HTTPException):
                    pass  # the server was killed under it

            thread = threading.Thread(target=upload, daemon=True)
            thread.start()
            caught = []
            deadline = time.monotonic() + 120
            while not caught and thread.is_alive() and time.monotonic() < deadline:
                caught = [n for n in os.listdir(store) if n.startswith(".partial-")]
            server.proc.kill()
            server.wait()
            thread.join(timeout=60)
            names = os.listdir(store)
            self.assertEqual([n for n in names if n.endswith(".zip")], [], names)
            if caught:
                break
        else:
            self.skipTest("no kill came while an archive was being written")
        # The next server on the store removes the partly written file.
        self.assertStops(self.spawn("--store", store))
        self.assertEqual(os.listdir(store), [".parcel-store"])

    def test_archives_of_clients_gone_before_the_answer_are_removed(self):
        server = self.start("--threads", "2")
        for k in range(20):
            body, content_type = multipart([("file", f"gone{k}.bin", os.urandom(100_000))])
            s = connect(server.port)
            s.sendall(head_of("POST", "/compress", f"Content-Type: {content_type}\r\n"
                                                   f"Content-Length: {len(body)}\r\n") + body)
            if k % 2:  # a reset instead of an orderly close
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\0\0\0\0\0\0\0")
            s.close()
        deadline = time.monotonic() + 60
        while True:
            health = server.health()
            if health["requests_in_flight"] == 1 and health["busy"] == 0:
                break
            self.assertLess(time.monotonic() - deadline, 0, health)
            time.sleep(0.1)
        time.sleep(1)
        self.assertEqual(server.health()["archives"], 0)
        self.assertEqual(os.listdir(server.started["store"]), [".parcel-store"])

    def test_one_client_address_keeps_to_its_share(self):
        server = self.start("--client-store-size", "6000")
        status, _, body = server.upload_from("127.0.0.2", [("file", "a.bin", os.urandom(4000))])
        self.assertEqual(status, 200, body)
        status, headers, body = server.upload_from("127.0.0.2",
                                                   [("file", "b.bin", os.urandom(4000))])
        self.assertEqual(status, 507, body)
        self.assertIn(b"share", body)
        self.assertGreater(int(headers["Retry-After"]), 0)
        status, _, body = server.upload_from("127.0.0.3", [("file", "c.bin", os.urandom(4000))])
        self.assertEqual(status, 200, body)

    def test_uploads_held_at_once_are_capped(self):
        server = self.start("--max-upload", "1M", "--max-held", "1M")
        first = connect(server.port)
        first.sendall(head_of("POST", "/process", "Content-Length: 700000\r\n") + b"x" * 1000)
        deadline = time.monotonic() + 30
        while server.health()["upload_bytes_held"] < 700000:
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.05)
        second = connect(server.port)
        second.sendall(head_of("POST", "/process", "Content-Length: 700000\r\n"))
        status, fields, _ = read_answers(second, 1)[0]
        self.assertEqual(status, 503)
        self.assertGreater(int(fields["retry-after"]), 0)
        second.close()
        first.sendall(b"x" * 699000)
        self.assertEqual(read_answers(first, 1)[0][0], 200)  # the module's error document
        first.close()
        self.assertEqual(server.health()["upload_bytes_held"], 0)


class LogTest(ServerTestCase):
    def test_every_answer_has_a_date_and_an_id_and_every_line_its_peer(self):
        server = self.start()
        answers = []
        for request in [head_of("GET", "/healthz"), b"NONSENSE\r\n\r\n", head_of("GET", "/%zz"),
                        head_of("POST", "/process", "Content-Length: -1\r\n")]:
            s = connect(server.port)
            s.sendall(request)
            answers.append(read_answers(s, 1)[0])
            s.close()
        self.assertEqual([a[0] for a in answers], [200, 400, 400, 400])
        for status, fields, _ in answers:
            date = email.utils.parsedate_to_datetime(fields["date"])
            self.assertLess(abs(date.timestamp() - time.time()), 60)
            self.assertRegex(fields["x-request-id"], r"^[0-9a-f]{8}-\d+$")
        log = server.access_log(4)
        self.assertEqual(sorted(e["id"] for e in log),
                         sorted(a[1]["x-request-id"] for a in answers))
        for entry in log:
            self.assertEqual(entry["remote"], "127.0.0.1", entry)



class BrowserTest(ServerTestCase):
    """The upload page in headless Chromium, used as a person would: a folder
    dropped, a file removed, an upload cancelled, one packed and downloaded,
    a file over the limit refused in the page, and the plain form without
    script."""

    def setUp(self):
        super().setUp()
        if not BROWSER_SCRIPT:
            self.skipTest("no browser script given")

    def write(self, relative, data):
        path = os.path.join(self.dir, *relative.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def test_drop_a_folder_cancel_pack_and_download(self):
        server = self.start("--max-upload", "3M", "--max-files", "10")
        # The large file keeps a throttled upload in flight long enough to be
        # seen and cancelled; the empty one is left out by the module.
        folder = {"album/notes.txt": b"notes of the album\n" * 1000,
                  "album/photos/big.bin": os.urandom(1_500_000),
                  "album/photos/2024/d\u00e9j\u00e0 vu.txt": "\u00e9t\u00e9\n".encode() * 50,
                  "album/empty.txt": b""}
        for relative, data in folder.items():
            self.write("drop/" + relative, data)
        extra = self.write("extra.txt", b"picked, then removed")
        too_large = self.write("too large.bin", os.urandom(3 * 1024 * 1024 + 1))
        downloads = os.path.join(self.dir, "downloads")
        run = subprocess.run(
            ["node", BROWSER_SCRIPT, "--url", server.url("/"), "--folder",
             os.path.join(self.dir, "drop", "album"), "--extra", extra, "--too-large", too_large,
             "--path", "docs", "--downloads", downloads, "--screenshots", SCREENSHOTS],
            capture_output=True, timeout=120, env=dict(os.environ, NODE_PATH=NODE_MODULES))
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        seen = json.loads(run.stdout.decode().strip().splitlines()[-1])
        self.assertEqual(seen["limits"], "Up to 3 MB and 10 files in one upload. Archives are "
                                         "kept for 1 hour, then deleted.")

        # The dropped folder's structure, the removed file gone, the total.
        expected_rows = sorted((r.rsplit("/", 1)[1], r.rsplit("/", 1)[0].replace("/", "\\"),
                                len(d)) for r, d in folder.items())
        self.assertEqual(sorted(tuple(row[:3]) for row in seen["chosen"]), expected_rows)
        self.assertEqual(seen["removed"], "Removed extra.txt.")
        self.assertTrue(seen["focus_after_remove"].startswith("Remove album"))
        self.assertEqual(seen["total"], {"count": "Total: 4 files",
                                         "bytes": sum(map(len, folder.values()))})

        # In flight, then cancelled: nothing stored, the files still chosen.
        progress = seen["progress"]
        self.assertRegex(progress["text"],
                         r"^[\d.]+ (bytes|KB|MB) of 1\.4 MB sent \(\d+%\), about .+ left$")
        self.assertLess(0, progress["value"])
        self.assertLess(progress["value"], progress["max"])
        self.assertGreater(progress["max"], sum(map(len, folder.values())))
        self.assertEqual(progress["focus"], "cancel")
        self.assertEqual(seen["cancelled"], {
            "status": "Upload cancelled. Nothing was packed; your files are still chosen.",
            "rows": 4, "progress_hidden": True})

        # Packed: the archive as downloaded, its listing and the empty file.
        packed = seen["packed"]
        self.assertRegex(packed["name"], r"^zipfile_\d+\.zip$")
        self.assertEqual(packed["href"], "/output/" + packed["name"])
        self.assertEqual(packed["status"], f"Packed 4 files into {packed['name']}.")
        self.assertEqual(packed["left_out"], "Left out because it is empty: docs\\album\\empty.txt.")
        self.assertRegex(packed["expires"], r"^Kept on this server until .+ \(1 hour from now\), "
                                            r"then deleted\.$")
        self.assertEqual(packed["focus"], "result-title")
        self.assertEqual(packed["chosen_after"], 0)
        self.assertIn("All sent. Packing\u2026", packed["progress_texts"])
        with open(seen["saved"], "rb") as f:
            archive = f.read()
        self.assertEqual(os.path.basename(seen["saved"]), packed["name"])
        self.assertArchive(archive, {"docs\\" + r.replace("/", "\\"): d
                                     for r, d in folder.items() if d})
        with zipfile.ZipFile(io.BytesIO(archive)) as zf:
            listing = sorted((i.filename.encode("utf-8" if i.flag_bits & 0x800 else "cp437")
                              .decode(), i.file_size, i.compress_size) for i in zf.infolist())
        self.assertEqual(sorted(tuple(row[:3]) for row in packed["listing"]), listing)
        ratios = {row[0]: row[3] for row in packed["listing"]}
        self.assertEqual(ratios["docs\\album\\photos\\big.bin"], "not smaller")
        self.assertRegex(ratios["docs\\album\\notes.txt"], r"^9\d% smaller$")
        # The browser fetched archive and listing with the cookie alone.
        self.assertEqual(server.request("GET", packed["href"])[0], 404)
        self.assertEqual(server.request("GET", packed["href"] + "/entries")[0], 404)

        # Refused in the page: named in plain words, nothing sent.
        self.assertEqual(seen["refused"], {
            "problem": "\u201ctoo large.bin\u201d (3,145,729 bytes) is too large: this server "
                       "takes at most 3,145,728 bytes in one upload.",
            "flagged": 1, "result_hidden": True, "requests": 0})
        self.assertEqual(seen["compress_requests"], 2)
        self.assertEqual(sorted(tuple(row[:3]) for row in seen["chosen_folder"]), expected_rows)
        self.assertFalse(seen["problem_after_clear"])
        # Without script the form posts by itself; the browser shows the answer.
        self.assertIn("COMPRESSED_FILE", seen["without_script"])
        # The cancelled upload reached the server only in part (499: the
        # client went away); the browser may ask for more than the test does.
        count = 1
        while sum(e["path"] == "/compress" for e in server.access_log(count)) < 3:
            count += 1
        self.assertEqual(sorted((e["method"], e["status"]) for e in server.access_log(count)
                                if e["path"] == "/compress"),
                         [("POST", 200), ("POST", 200), ("POST", 499)])
        self.assertEqual(server.health()["archives"], 2)
        for state in ("chosen", "uploading", "packed", "packed-dark", "refused", "without-script"):
            with open(os.path.join(SCREENSHOTS, state + ".png"), "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n", state)


def main():
    global HOST, FAKE_MODULE, BROWSER_SCRIPT, NODE_MODULES, SCREENSHOTS
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--host", required=True)
    parser.add_argument("--fake-module")
    parser.add_argument("--browser-script")
    parser.add_argument("--node-modules")
    parser.add_argument("--screenshots")
    args, rest = parser.parse_known_args()
    HOST = os.path.abspath(args.host)
    FAKE_MODULE = os.path.abspath(args.fake_module) if args.fake_module else None
    BROWSER_SCRIPT = os.path.abspath(args.browser_script) if args.browser_script else None
    NODE_MODULES = os.path.abspath(args.node_modules) if args.node_modules else None
    SCREENSHOTS = os.path.abspath(args.screenshots or "browser-screenshots")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
