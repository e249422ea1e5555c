#!/usr/bin/env python3
"""`kdr serve` over raw sockets: what a browser never sends, but a client may.

Usage: serve_http_test.py --kdr KDR --make-store KDR_SERVE_STORE
"""

import argparse
import csv
import io
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None


def answers(sock, count, then_closed=False):
    """Reads `count` answers (status, headers, body) off the socket, and
    with `then_closed` whether the server closed it after them."""
    data = b""
    found = []
    sock.settimeout(5)
    while len(found) < count:
        head_end = data.find(b"\r\n\r\n")
        if head_end >= 0:
            head = data[:head_end].decode("latin-1").split("\r\n")
            headers = {k.lower(): v.strip() for k, _, v in (h.partition(":") for h in head[1:])}
            length = int(headers.get("content-length", "0"))
            if len(data) >= head_end + 4 + length:
                body = data[head_end + 4:head_end + 4 + length]
                found.append((int(head[0].split()[1]), headers, body))
                data = data[head_end + 4 + length:]
                continue
        more = sock.recv(65536)
        if not more:
            raise AssertionError(f"closed after {len(found)} of {count} answers")
        data += more
    if not then_closed:
        return found, None
    try:
        sock.settimeout(1)
        closed = sock.recv(1) == b""
    except (socket.timeout, ConnectionResetError):
        closed = False
    return found, closed


def streamed(sock):
    """Reads one answer sent chunked, or up to the connection's end:
    (status, headers, body, whether it ended with the last chunk)."""
    sock.settimeout(5)
    data = b""
    while b"\r\n\r\n" not in data:
        more = sock.recv(65536)
        if not more:
            raise AssertionError("closed before the head ended")
        data += more
    head, _, data = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {k.lower(): v.strip() for k, _, v in (h.partition(":") for h in lines[1:])}
    status = int(lines[0].split()[1])
    rest = [data]
    while more := sock.recv(65536):
        rest.append(more)
    data = b"".join(rest)
    if headers.get("transfer-encoding") != "chunked":
        return status, headers, data, True
    body = b""
    while (line_end := data.find(b"\r\n")) >= 0:
        size = int(data[:line_end].split(b";")[0], 16)
        if size == 0:
            return status, headers, body, True
        body += data[line_end + 2:line_end + 2 + size]
        data = data[line_end + 2 + size + 2:]
    return status, headers, body, False


class Served(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="kdr-serve-http.")
        cls.first = os.path.join(cls.folder, "first.sqlite")
        cls.second = os.path.join(cls.folder, "second.sqlite")
        # Enough records that an export is sent in several chunks.
        for path, readers in ((cls.first, 3), (cls.second, 2)):
            subprocess.run([ARGS.make_store, path, str(readers), "600", "1"], check=True,
                           stdout=subprocess.DEVNULL)
        cls.store = os.path.join(cls.folder, "store.sqlite")
        shutil.copyfile(cls.first, cls.store)
        cls.server = subprocess.Popen(
            [ARGS.kdr, "serve", "--db", cls.store, "--listen", "127.0.0.1:0"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, text=True)
        line = cls.server.stdout.readline()
        found = re.match(r"kdr serve: http://127\.0\.0\.1:(\d+)/ shows ", line)
        if not found:
            raise RuntimeError(f"kdr serve said: {line!r}")
        cls.port = int(found.group(1))

    @classmethod
    def tearDownClass(cls):
        cls.server.terminate()
        cls.server.wait(10)
        shutil.rmtree(cls.folder)

    def send(self, data, count=1, then_closed=False):
        with socket.create_connection(("127.0.0.1", self.port)) as sock:
            sock.sendall(data)
            return answers(sock, count, then_closed)

    def get(self, path):
        found, _ = self.send(f"GET {path} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
        return found[0]

    def test_a_head_past_its_bound_is_refused(self):
        for size, status in ((8_000, 200), (20_000, 431), (2_000_000, 431)):
            with self.subTest(size=size):
                request = (f"GET /healthz HTTP/1.1\r\nHost: x\r\nX-Pad: {'a' * size}\r\n\r\n")
                try:
                    found, _ = self.send(request.encode())
                except (BrokenPipeError, ConnectionResetError):
                    # The server answered and closed while the rest was sent.
                    self.assertGreater(size, 16_384)
                    continue
                self.assertEqual(found[0][0], status)

    def test_a_read_with_a_body_is_refused_and_the_connection_closed(self):
        smuggled = b"GET /api/readers HTTP/1.1\r\nHost: x\r\n\r\n"
        for framing in (f"Content-Length: {len(smuggled)}\r\n".encode(),
                        b"Transfer-Encoding: chunked\r\n"):
            with self.subTest(framing=framing):
                body = smuggled if framing.startswith(b"Content") else (
                    b"%x\r\n%s\r\n0\r\n\r\n" % (len(smuggled), smuggled))
                found, closed = self.send(b"GET /healthz HTTP/1.1\r\nHost: x\r\n" + framing +
                                          b"\r\n" + body, then_closed=True)
                self.assertEqual(found[0][0], 400)
                self.assertTrue(closed, "the body would be read as a second request")

    def test_an_export_is_sent_as_written_and_a_client_may_leave_it(self):
        for path, options in (("/export/records.json", ["--format", "json"]),
                              ("/export/records.csv?bom=1", ["--format", "csv", "--bom"])):
            exported = subprocess.run([ARGS.kdr, "export", "--db", self.store, *options],
                                      check=True, stdout=subprocess.PIPE).stdout
            self.assertGreater(len(exported), 64 * 1024, "an export of several chunks")
            for version in ("1.1", "1.0"):
                with self.subTest(path=path, version=version):
                    with socket.create_connection(("127.0.0.1", self.port)) as sock:
                        sock.sendall(f"GET {path} HTTP/{version}\r\nHost: x\r\n"
                                     "Connection: close\r\n\r\n".encode())
                        status, headers, body, whole = streamed(sock)
                    self.assertEqual(status, 200)
                    self.assertEqual(headers.get("transfer-encoding"),
                                     "chunked" if version == "1.1" else None)
                    self.assertTrue(whole)
                    self.assertEqual(body, exported)
        # More clients leaving than the server has workers: none is held.
        for _ in range(12):
            with socket.create_connection(("127.0.0.1", self.port)) as sock:
                sock.sendall(b"GET /export/records.json HTTP/1.1\r\nHost: x\r\n\r\n")
                sock.settimeout(5)
                self.assertTrue(sock.recv(64).startswith(b"HTTP/1.1 200"))
        status, _, body = self.get("/api/readers")
        self.assertEqual(status, 200)
        self.assertTrue(json.loads(body))

    def test_an_export_read_in_pages_is_the_window_asked_for(self):
        # Records are read 1,000 at a time: windows on, across and past a
        # page's edge, each the same rows as that slice of the whole export.
        def rows(query):
            with socket.create_connection(("127.0.0.1", self.port)) as sock:
                sock.sendall(f"GET /export/records.csv{query} HTTP/1.1\r\nHost: x\r\n"
                             "Connection: close\r\n\r\n".encode())
                status, _, body, whole = streamed(sock)
            self.assertEqual((status, whole), (200, True))
            lines = list(csv.reader(io.StringIO(body.decode())))[1:]
            return [(line[0], line[6], line[7]) for line in lines]  # reader, date line, text
        whole = rows("")
        self.assertGreater(len(whole), 1100, "an export of more than one page")
        for offset, limit in ((0, 1000), (0, 1001), (100, 1500), (999, 2), (1050, 500)):
            with self.subTest(offset=offset, limit=limit):
                self.assertEqual(rows(f"?offset={offset}&limit={limit}"),
                                 whole[offset:offset + limit])

    def test_pipelined_requests_are_answered_in_order(self):
        paths = ["/api/readers", "/nowhere", "/healthz"]
        found, _ = self.send(b"".join(f"GET {p} HTTP/1.1\r\nHost: x\r\n\r\n".encode()
                                      for p in paths), count=3)
        self.assertEqual([status for status, _, _ in found], [200, 404, 200])
        self.assertIn(b'"machine_id"', found[0][2])
        self.assertEqual(json.loads(found[2][2]), {"status": "ok"})

    def test_a_replaced_store_is_followed(self):
        def readers():
            status, _, body = self.get("/api/readers")
            return len(json.loads(body)) if status == 200 else status

        def becomes(expected, what):
            deadline = time.monotonic() + 5
            while (seen := readers()) != expected and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(seen, expected, what)

        becomes(3, "the first store")
        # A backup copied beside it and moved over it: a new file.
        shutil.copyfile(self.second, self.store + ".new")
        os.replace(self.store + ".new", self.store)
        becomes(2, "a new file under the name")
        # Written over in place: the same file, other contents.
        shutil.copyfile(self.first, self.store)
        becomes(3, "the file rewritten in place")
        os.remove(self.store)
        becomes(503, "no file")
        status, _, body = self.get("/healthz")
        self.assertEqual((status, json.loads(body)), (503, {"status": "unavailable"}))
        shutil.copyfile(self.second, self.store)
        becomes(2, "a file there again")


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--kdr", required=True)
    parser.add_argument("--make-store", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)
