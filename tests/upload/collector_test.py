#!/usr/bin/python3
"""The reference collector on its own: parsing, storage, answers and its command line.

usage: collector_test.py <collector.py>
"""

import http.client
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

COLLECTOR = sys.argv[1]
WINDOW = 1 << 20  # the collector's search window over a stored body
DELAY = 0.5
NO_PROXY = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}


def start(store, *options):
    process = subprocess.Popen([sys.executable, COLLECTOR, "--store", store, *options],
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    match = re.fullmatch(r"listening 127\.0\.0\.1:(\d+)\n", line)
    if not match:
        process.kill()
        raise RuntimeError("collector did not start: %r" % line)
    return process, int(match.group(1))


def stop(process):
    if process.poll() is None:
        process.terminate()
        process.wait(10)
    process.stdout.close()


def multipart(boundary, parts, preamble=b"", epilogue=b"\r\n"):
    """parts: (disposition parameters text, extra header lines, content bytes)."""
    b = boundary.encode()
    body = preamble
    for params, extra, content in parts:
        body += b"--" + b + b"\r\nContent-Disposition: form-data; " + params.encode() + b"\r\n"
        body += b"".join(line + b"\r\n" for line in extra) + b"\r\n" + content + b"\r\n"
    return body + b"--" + b + b"--" + epilogue


class CollectorTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="collector-test-")
        cls.store = os.path.join(cls.work, "store")
        cls.process, cls.port = start(cls.store, "--port", "0", "--mode-from-query",
                                      "--delay", str(DELAY), "--max-seconds", "100",
                                      "--max-body-bytes", str(8 << 20))

    @classmethod
    def tearDownClass(cls):
        stop(cls.process)
        shutil.rmtree(cls.work, ignore_errors=True)

    def post(self, body, content_type, path="/store-dump/", headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            connection.request("POST", path, body=body,
                               headers={"Content-Type": content_type, **(headers or {})})
            response = connection.getresponse()
            return response.status, response.read(), response.getheaders()
        finally:
            connection.close()

    def post_form(self, boundary, parts, **arguments):
        before = set(self.uploads())
        status, text, _ = self.post(multipart(boundary, parts, **arguments),
                                    "multipart/form-data; boundary=" + boundary)
        added = sorted(set(self.uploads()) - before)
        self.assertEqual(len(added), 1)
        return status, text, os.path.join(self.store, added[0])

    def uploads(self):
        return [n for n in os.listdir(self.store) if os.path.isdir(os.path.join(self.store, n))]

    def read(self, folder, name):
        with open(os.path.join(folder, name), "rb") as stored:
            return stored.read()

    def report(self, folder):
        return json.loads(self.read(folder, "upload.json"))

    def test_fields_and_file_parts_are_stored_byte_exact(self):
        binary = bytes(range(256)) * 40
        parts = [
            ('name="name"', [], b'value with "quotes"\r\nand a line break'),
            ('name="empty"', [], b""),
            ('name="crashdump"; filename="C:\\dumps\\a.zip"',
             [b"Content-Type: application/octet-stream"], binary),
            ('name="second"; filename="b.txt"', [b"Content-Type: text/plain"], b"\r\n\r\n"),
        ]
        status, text, folder = self.post_form("xyzzy-boundary", parts, preamble=b"ignored\r\n")
        self.assertEqual(status, 200)
        self.assertRegex(text, rb"^stored \d{4}\n$")
        self.assertEqual(self.read(folder, "body.bin"),
                         multipart("xyzzy-boundary", parts, preamble=b"ignored\r\n"))
        self.assertEqual(json.loads(self.read(folder, "fields.json")),
                         {"name": 'value with "quotes"\r\nand a line break', "empty": ""})
        self.assertEqual(self.read(folder, "file.bin"), binary)
        self.assertEqual(self.read(folder, "file-2.bin"), b"\r\n\r\n")
        report = self.report(folder)
        self.assertEqual([p["name"] for p in report["parts"]],
                         ["name", "empty", "crashdump", "second"])
        self.assertEqual(report["parts"][2]["filename"], "C:\\dumps\\a.zip")  # no unescaping
        request = json.loads(self.read(folder, "request.json"))
        self.assertEqual(request["method"], "POST")
        self.assertIn(["Content-Type", "multipart/form-data; boundary=xyzzy-boundary"],
                      request["headers"])

    def test_quoted_boundary_and_utf8_names(self):
        boundary = "with space and ?"
        parts = [('name="n"', [], "Gr\u00fc\u00dfe".encode()),
                 ('name="f"; filename="\u0434\u0430\u043c\u043f.zip"', [], b"x")]
        body = multipart(boundary, parts)
        status, _, _ = self.post(body, 'multipart/form-data; boundary="%s"' % boundary)
        self.assertEqual(status, 200)
        folder = os.path.join(self.store, sorted(self.uploads())[-1])
        self.assertEqual(json.loads(self.read(folder, "fields.json")), {"n": "Gr\u00fc\u00dfe"})
        self.assertEqual(self.report(folder)["parts"][1]["filename"],
                         "\u0434\u0430\u043c\u043f.zip")

    def test_delimiter_across_search_windows_is_found(self):
        boundary = "window-edge"
        header = multipart(boundary, [('name="f"; filename="f"', [], b"")])
        prefix = len(header) - len(b"\r\n--" + boundary.encode() + b"--\r\n")
        delimiter = len(b"\r\n--" + boundary.encode())
        for early in (1, 2, delimiter // 2, delimiter - 1, delimiter, delimiter + 1):
            with self.subTest(early=early):
                content = b"\xab" * (WINDOW - prefix - early)
                status, _, folder = self.post_form(boundary,
                                                   [('name="f"; filename="f"', [], content)])
                self.assertEqual(status, 200)
                self.assertEqual(os.path.getsize(os.path.join(folder, "file.bin")),
                                 len(content))

    def test_chunked_body_is_reassembled(self):
        parts = [('name="f"; filename="f"', [], b"chunked content" * 1000)]
        body = multipart("chunks", parts)
        chunks = [body[i:i + 777] for i in range(0, len(body), 777)]
        encoded = b"".join(b"%x;ext=1\r\n%s\r\n" % (len(c), c) for c in chunks) + b"0\r\n\r\n"
        status, _, _ = self.post(encoded, "multipart/form-data; boundary=chunks",
                                 headers={"Transfer-Encoding": "chunked"})
        self.assertEqual(status, 200)
        folder = os.path.join(self.store, sorted(self.uploads())[-1])
        self.assertEqual(self.read(folder, "body.bin"), body)
        self.assertEqual(self.read(folder, "file.bin"), parts[0][2])

    def test_malformed_requests_are_refused(self):
        good = multipart("b", [('name="a"', [], b"1")])
        cases = [
            (good[:-8], "multipart/form-data; boundary=b", 400),  # no closing delimiter
            (b"no delimiter at all", "multipart/form-data; boundary=b", 400),
            (multipart("b", [('filename="x"', [], b"1")]), "multipart/form-data; boundary=b",
             400),  # part without a name
            (multipart("b", [('name="a"', [b"no colon here"], b"1")]),
             "multipart/form-data; boundary=b", 400),
            (good, "application/octet-stream", 400),
            (good, "multipart/form-data", 400),  # no boundary
        ]
        for body, content_type, expected in cases:
            with self.subTest(content_type=content_type, size=len(body)):
                status, text, _ = self.post(body, content_type)
                self.assertEqual(status, expected, text)

        # Refused from the headers alone: the answer comes before any body byte is read.
        for length, expected in ((None, 411), (9 << 20, 413)):
            with self.subTest(length=length):
                connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
                connection.putrequest("POST", "/store-dump/")
                connection.putheader("Content-Type", "multipart/form-data; boundary=b")
                if length is not None:
                    connection.putheader("Content-Length", str(length))
                connection.endheaders()
                self.assertEqual(connection.getresponse().status, expected)
                connection.close()

    def test_other_paths_and_get(self):
        self.assertEqual(self.post(b"", "text/plain", path="/elsewhere/")[0], 404)
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        connection.request("GET", "/")
        self.assertEqual(connection.getresponse().status, 200)
        connection.close()

    def test_answer_modes(self):
        form = multipart("m", [('name="f"; filename="f"', [], b"content")])
        expected = {"ok": 200, "201": 201, "204": 204, "500": 500, "slow": 200,
                    "stall-body": 200, "nolength": 200}
        for mode, status in expected.items():
            with self.subTest(mode=mode):
                started = time.monotonic()
                got, text, headers = self.post(form, "multipart/form-data; boundary=m",
                                               path="/store-dump/?mode=" + mode)
                self.assertEqual(got, status)
                names = [name.lower() for name, _ in headers]
                if mode in ("slow", "stall-body"):
                    self.assertGreaterEqual(time.monotonic() - started, DELAY - 0.05)
                if mode == "nolength":
                    self.assertNotIn("content-length", names)
                    self.assertRegex(text, rb"^stored \d{4}\n$")
                if mode == "204":
                    self.assertEqual(text, b"")

        for mode, length in (("short", "10"), ("huge-length", "18446744073709551616"),
                             ("negative-length", "-5"), ("giant-length", "1" * 40)):
            with self.subTest(mode=mode):
                with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
                    s.sendall(b"POST /store-dump/?mode=%s HTTP/1.1\r\nHost: x\r\n"
                              b"Content-Type: multipart/form-data; boundary=m\r\n"
                              b"Content-Length: %d\r\n\r\n%s" % (mode.encode(), len(form), form))
                    answer = b""
                    while True:
                        data = s.recv(65536)
                        if not data:
                            break
                        answer += data
                head, _, body = answer.partition(b"\r\n\r\n")
                self.assertIn(b"\r\nContent-Length: " + length.encode() + b"\r\n", head + b"\r\n")
                self.assertEqual(body, b"truncated")

        with self.assertRaises(http.client.RemoteDisconnected):
            self.post(form, "multipart/form-data; boundary=m", path="/store-dump/?mode=close")
        folder = os.path.join(self.store, sorted(self.uploads())[-1])
        self.assertEqual(self.read(folder, "file.bin"), b"content")  # stored all the same

    def test_body_cut_short_is_recorded_and_not_answered(self):
        before = set(self.uploads())
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
            s.sendall(b"POST /store-dump/ HTTP/1.1\r\nHost: x\r\n"
                      b"Content-Type: multipart/form-data; boundary=m\r\n"
                      b"Content-Length: 1000\r\n\r\n0123456789")
            s.shutdown(socket.SHUT_WR)
            self.assertEqual(s.recv(100), b"")
        (added,) = sorted(set(self.uploads()) - before)
        report = self.report(os.path.join(self.store, added))
        self.assertEqual((report["complete"], report["received_bytes"], report["answer"]),
                         (False, 10, None))

    def test_curl_upload_is_parsed(self):
        path = os.path.join(self.work, "curl.bin")
        content = os.urandom(300000)
        with open(path, "wb") as out:
            out.write(content)
        before = set(self.uploads())
        done = subprocess.run(
            ["curl", "--noproxy", "*", "-s", "-o", "/dev/null", "-w", "%{http_code}",
             "-F", "name=curl", "-F", "crashdump=@%s;type=application/octet-stream" % path,
             "http://127.0.0.1:%d/store-dump/" % self.port],
            stdout=subprocess.PIPE, text=True, timeout=60, env=NO_PROXY)
        self.assertEqual(done.stdout, "200")
        (added,) = sorted(set(self.uploads()) - before)
        folder = os.path.join(self.store, added)
        self.assertEqual(self.read(folder, "file.bin"), content)
        self.assertEqual(json.loads(self.read(folder, "fields.json")), {"name": "curl"})


class CommandLineTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="collector-cli-")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def test_mode_option_is_used_and_queries_are_ignored_without_the_flag(self):
        process, port = start(os.path.join(self.work, "s"), "--mode", "500", "--max-seconds",
                              "60")
        try:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            connection.request("POST", "/store-dump/?mode=ok",
                               body=multipart("b", [('name="a"', [], b"1")]),
                               headers={"Content-Type": "multipart/form-data; boundary=b"})
            self.assertEqual(connection.getresponse().status, 500)
            connection.close()
        finally:
            stop(process)

    def test_max_seconds_ends_the_run(self):
        started = time.monotonic()
        process, _ = start(os.path.join(self.work, "s"), "--max-seconds", "1")
        try:
            self.assertEqual(process.wait(10), 0)
            self.assertLess(time.monotonic() - started, 8)
        finally:
            stop(process)

    def test_fixed_port_and_unknown_mode(self):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        process, got = start(os.path.join(self.work, "s"), "--port", str(port),
                             "--max-seconds", "30")
        stop(process)
        self.assertEqual(got, port)
        done = subprocess.run([sys.executable, COLLECTOR, "--store", self.work, "--mode", "x"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        self.assertEqual(done.returncode, 2)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
