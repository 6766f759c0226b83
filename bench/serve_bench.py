#!/usr/bin/env python3
"""Load on parcel-host serve over loopback.

  serve_bench.py --host build/release/parcel-host uploads DIR
      Uploads every file of DIR (the corpus's small set) as one upload each,
      from --clients clients on keep-alive connections (or a new connection
      per upload with --new-connections), and prints uploads per second.

  serve_bench.py --host build/release/parcel-host soak DIR --seconds 180
      A mixed load for --seconds from --clients clients: uploads of a few
      files, downloads whole and in ranges, clients that go away before the
      answer, and slow connections on the side; answers other than 200 are
      counted by status, failed connections as errors. Samples
      the server's resident memory and open descriptors every second and
      prints them at the start, the middle and the end, with the peak.

The server runs with its default worker count (more options with
--server-arg) and is stopped with SIGTERM at the end; its exit code must be 0.
A soak meant to show flat memory gives the store a short expiry, so that the
archives it keeps reach a steady number:
  --server-arg=--expiry --server-arg=20s
"""
import argparse
import http.client
import io
import json
import os
import random
import socket
import subprocess
import sys
import threading
import time


def multipart(files):
    boundary = "parcel-bench-" + os.urandom(6).hex()
    out = io.BytesIO()
    for name, data in files:
        out.write(f'--{boundary}\r\nContent-Disposition: form-data; name="file"; '
                  f'filename="{name}"\r\nContent-Type: application/octet-stream\r\n\r\n'.encode())
        out.write(data + b"\r\n")
    out.write(f"--{boundary}--\r\n".encode())
    return out.getvalue(), "multipart/form-data; boundary=" + boundary


class Server:
    def __init__(self, host, args):
        self.proc = subprocess.Popen([host, "serve", "--port", "0", "-q", *args],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.port = json.loads(self.proc.stdout.readline())["port"]
        # The server's messages are read as they come: a full pipe would stop it.
        self.messages = []
        threading.Thread(target=lambda: self.messages.extend(self.proc.stderr),
                         daemon=True).start()

    def sample(self):
        """(resident KiB, open descriptors) of the server."""
        with open(f"/proc/{self.proc.pid}/status") as f:
            rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
        return rss, len(os.listdir(f"/proc/{self.proc.pid}/fd"))

    def stop(self):
        self.proc.send_signal(15)
        code = self.proc.wait(timeout=120)
        if code != 0:
            sys.exit(f"the server exited with {code}: {b''.join(self.messages).decode()}")


def read_corpus(directory, limit):
    files = []
    for name in sorted(os.listdir(directory))[:limit or None]:
        with open(os.path.join(directory, name), "rb") as f:
            files.append((name, f.read()))
    return files


def upload(connection, files):
    body, content_type = multipart(files)
    connection.request("POST", "/compress", body, {"Content-Type": content_type})
    response = connection.getresponse()
    document = response.read()
    return response.status, response.getheader("X-Parcel-Token"), document


def bench_uploads(server, files, clients, keep_alive):
    work = list(range(len(files)))
    lock = threading.Lock()
    failures = []

    def client():
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
        while True:
            with lock:
                if not work:
                    break
                k = work.pop()
            if not keep_alive:
                connection.close()
                connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
            status, _, document = upload(connection, [files[k]])
            if status != 200 and len(files[k][1]) > 0:
                failures.append((files[k][0], status, document[:200]))
        connection.close()

    started = time.monotonic()
    threads = [threading.Thread(target=client) for _ in range(clients)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    seconds = time.monotonic() - started
    if failures:
        sys.exit(f"{len(failures)} uploads failed, first: {failures[0]}")
    total = sum(len(data) for _, data in files)
    print(json.dumps({"uploads": len(files), "clients": clients, "keep_alive": keep_alive,
                      "seconds": round(seconds, 3),
                      "uploads_per_second": round(len(files) / seconds, 1),
                      "mb_per_second": round(total / seconds / 1e6, 2)}))


def soak(server, files, clients, seconds):
    stop_at = time.monotonic() + seconds
    counts = {"uploads": 0, "downloads": 0, "ranges": 0, "abandoned": 0, "slow": 0, "errors": 0,
              "statuses": {}}
    lock = threading.Lock()

    def count(what):
        with lock:
            counts[what] += 1

    def client(k):
        rng = random.Random(k)
        connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
        while time.monotonic() < stop_at:
            try:
                choice = rng.random()
                batch = rng.sample(files, rng.randint(1, 8))
                if choice < 0.1:
                    # Goes away before the answer.
                    body, content_type = multipart(batch)
                    s = socket.create_connection(("127.0.0.1", server.port))
                    s.sendall(f"POST /compress HTTP/1.1\r\nHost: x\r\nContent-Type: {content_type}"
                              f"\r\nContent-Length: {len(body)}\r\n\r\n".encode() + body)
                    s.close()
                    count("abandoned")
                    continue
                status, token, document = upload(connection, batch)
                if status != 200:
                    with lock:
                        counts["statuses"][status] = counts["statuses"].get(status, 0) + 1
                    continue
                count("uploads")
                name = document.decode().split('url="/output/')[1].split('"')[0]
                headers = {"X-Parcel-Token": token}
                if choice < 0.4:
                    headers["Range"] = "bytes=10-99"
                connection.request("GET", "/output/" + name, headers=headers)
                response = connection.getresponse()
                response.read()
                count("ranges" if "Range" in headers else "downloads")
                if response.status not in (200, 206):
                    count("errors")
            except (OSError, http.client.HTTPException):
                count("errors")
                connection.close()
                connection = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
        connection.close()

    def slow():
        # Connections that send a request head a byte a second, on the side.
        while time.monotonic() < stop_at:
            try:
                s = socket.create_connection(("127.0.0.1", server.port), timeout=30)
                for byte in b"GET /healthz HTTP/1.1\r\n":
                    if time.monotonic() >= stop_at:
                        break
                    s.send(bytes([byte]))
                    time.sleep(1)
                s.close()
            except OSError:
                pass
            count("slow")

    samples = []

    def sampler():
        while time.monotonic() < stop_at:
            samples.append(server.sample())
            time.sleep(1)

    threads = [threading.Thread(target=client, args=(k,)) for k in range(clients)]
    threads += [threading.Thread(target=slow) for _ in range(4)]
    threads.append(threading.Thread(target=sampler))
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    time.sleep(2)
    samples.append(server.sample())
    third = len(samples) // 3
    report = {"seconds": seconds, "clients": clients, **counts,
              "rss_kib": {"after_10s": samples[min(10, len(samples) - 1)][0],
                          "middle": samples[len(samples) // 2][0], "end": samples[-1][0],
                          "peak": max(s[0] for s in samples),
                          "first_third_peak": max(s[0] for s in samples[:third or 1]),
                          "last_third_peak": max(s[0] for s in samples[-third or -1:])},
              "fds": {"after_10s": samples[min(10, len(samples) - 1)][1],
                      "middle": samples[len(samples) // 2][1], "end": samples[-1][1],
                      "peak": max(s[1] for s in samples)}}
    print(json.dumps(report))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True)
    parser.add_argument("--clients", type=int, default=4)
    parser.add_argument("--limit", type=int, default=0, help="use only the first N files")
    parser.add_argument("--seconds", type=int, default=180)
    parser.add_argument("--new-connections", action="store_true",
                        help="uploads: one connection per upload instead of keep-alive")
    parser.add_argument("--server-arg", action="append", default=[])
    parser.add_argument("what", choices=["uploads", "soak"])
    parser.add_argument("corpus")
    args = parser.parse_args()
    files = read_corpus(args.corpus, args.limit)
    server = Server(args.host, args.server_arg)
    try:
        if args.what == "uploads":
            bench_uploads(server, files, args.clients, not args.new_connections)
        else:
            soak(server, files, args.clients, args.seconds)
    finally:
        server.stop()


if __name__ == "__main__":
    main()
