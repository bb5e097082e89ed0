#!/usr/bin/python3
"""Real uploads from UploadProbe.exe under Wine to the reference collector on 127.0.0.1.

usage: upload_loopback.py <Body|Refusals|Responses> <collector.py> <wine-run> <UploadProbe.exe>

The expected request bodies are built here, from the wire format alone, and compared byte
for byte with what the collector stored; a second, independent multipart reader (the email
package) reads each body back as well.
"""

import email.parser
import email.policy
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

GROUP, COLLECTOR, WINE_RUN, PROBE = sys.argv[1:5]
USER_AGENT = "RIZurarUzedudor/1.0 (Windows)"
BOUNDARY_PATTERN = re.compile(r"-{27}[0-9A-F]{16}")
# Headers that the transport writes by itself; the uploader adds only Content-Type.
TRANSPORT_HEADERS = {"host", "user-agent", "content-length", "cache-control", "connection",
                     "pragma"}
PROBE_TIMEOUT = 120
COLLECTOR_SECONDS = 280
DELAY = 2.0

# Proxy variables would send loopback requests elsewhere: the Wine side never sees them.
ENVIRONMENT = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}
ENVIRONMENT["LC_ALL"] = "C.UTF-8"  # Unix file names in UTF-8 for Wine


def probe_argument(text):
    return "x" + text.encode("utf-16-le", "surrogatepass").hex()


def windows_path(linux_path):
    return "Z:" + linux_path.replace("/", "\\")


def crt_rand(count):
    """The first numbers of the Windows C runtime's rand() in a thread that never seeded it."""
    state, numbers = 1, []
    for _ in range(count):
        state = (state * 214013 + 2531011) & 0xFFFFFFFF
        numbers.append((state >> 16) & 0x7FFF)
    return numbers


def boundary_of_upload(index):
    """The boundary of the index-th upload (from 0) of a fresh process."""
    numbers = crt_rand(2 * index + 2)
    return "-" * 27 + "%08X%08X" % (numbers[2 * index], numbers[2 * index + 1])


def expected_body(boundary, fields, path, part, content):
    b = boundary.encode()
    body = b""
    for name, value in sorted(fields.items(), key=lambda f: f[0].encode("utf-16-be")):
        body += (b"--" + b + b"\r\nContent-Disposition: form-data; name=\"" + name.encode() +
                 b"\"\r\n\r\n" + value.encode() + b"\r\n")
    body += (b"--" + b + b"\r\nContent-Disposition: form-data; name=\"" + part.encode() +
             b"\"; filename=\"" + path.encode() +
             b"\"\r\nContent-Type: application/octet-stream\r\n\r\n")
    return body + content + b"\r\n--" + b + b"--\r\n"


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


class Collector:
    """The reference collector as a child process, with a store of its own."""

    def __init__(self, store, port=0):
        self.store = store
        self.process = subprocess.Popen(
            [sys.executable, COLLECTOR, "--port", str(port), "--store", store,
             "--mode-from-query", "--delay", str(DELAY), "--max-seconds",
             str(COLLECTOR_SECONDS)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        match = re.fullmatch(r"listening 127\.0\.0\.1:(\d+)\n", line)
        if not match:
            self.stop()
            raise RuntimeError("collector did not start: %r" % line)
        self.port = int(match.group(1))

    def url(self, mode=None, port=True):
        host = "127.0.0.1:%d" % self.port if port else "127.0.0.1"
        return "http://%s/store-dump/%s" % (host, "?mode=" + mode if mode else "")

    def events(self, kind=None):
        try:
            with open(os.path.join(self.store, "events.jsonl"), encoding="utf-8") as log:
                # A line still being written has no line end yet.
                events = [json.loads(line) for line in log if line.endswith("\n")]
        except FileNotFoundError:
            return []
        return [e for e in events if kind is None or e["event"] == kind]

    def uploads(self):
        return sorted(name for name in os.listdir(self.store)
                      if os.path.isdir(os.path.join(self.store, name)))

    def wait_for_event(self, kind, upload_id, seconds=30):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if any(e.get("id") == upload_id for e in self.events(kind)):
                return True
            time.sleep(0.05)
        return False

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)
        self.process.stdout.close()


def run_probe(url, path, part="crashdump", fields=None, repeat=1):
    """Runs the probe and returns [(succeeded, milliseconds, last error)] per upload."""
    command = [WINE_RUN, PROBE]
    if repeat > 1:
        command += ["--repeat", str(repeat)]
    command += [probe_argument(url), probe_argument(path), probe_argument(part)]
    for name, value in (fields or {}).items():
        command += [probe_argument(name), probe_argument(value)]
    done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, text=True, env=ENVIRONMENT,
                          timeout=PROBE_TIMEOUT)
    if done.returncode != 0:
        raise AssertionError("probe ended with %d: %r" % (done.returncode, done.stdout))
    results = [(ok == "1", int(ms), int(error)) for ok, ms, error in
               re.findall(r"^result ([01]) ms (\d+) error (\d+)$", done.stdout, re.M)]
    if len(results) != repeat:
        raise AssertionError("probe printed %r" % done.stdout)
    return results


class UploadTestCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="upload-test-")
        cls.collector = Collector(os.path.join(cls.work, "store"))

    @classmethod
    def tearDownClass(cls):
        cls.collector.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def make_file(self, name, content):
        path = os.path.join(self.work, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as out:
            out.write(content)
        return path

    def upload(self, mode=None, **arguments):
        """One probe run that must add exactly one upload to the store; returns its folder
        and the probe's results."""
        before = set(self.collector.uploads())
        results = run_probe(self.collector.url(mode), **arguments)
        added = sorted(set(self.collector.uploads()) - before)
        self.assertEqual(len(added), len(results), "uploads stored: %r" % added)
        for upload_id in added:
            self.assertTrue(self.collector.wait_for_event("stored", upload_id), upload_id)
        return [os.path.join(self.collector.store, a) for a in added], results

    def read(self, folder, name):
        with open(os.path.join(folder, name), "rb") as stored:
            return stored.read()

    def read_json(self, folder, name):
        return json.loads(self.read(folder, name))

    def check_upload(self, folder, fields, path, content, part="crashdump", boundary=None):
        """The stored request is exactly the uploader's wire format for these inputs."""
        request = self.read_json(folder, "request.json")
        headers = {name.lower(): value for name, value in request["headers"]}
        names = [name.lower() for name, _ in request["headers"]]
        self.assertEqual(names.count("content-type"), 1)
        self.assertLessEqual(set(names), TRANSPORT_HEADERS | {"content-type"})
        self.assertEqual(request["method"], "POST")
        self.assertEqual(request["path"], "/store-dump/")
        self.assertEqual(headers.get("user-agent"), USER_AGENT)
        self.assertNotIn("transfer-encoding", headers)
        prefix = "multipart/form-data; boundary="
        content_type = headers.get("content-type", "")
        self.assertTrue(content_type.startswith(prefix), content_type)
        sent_boundary = content_type[len(prefix):]
        self.assertRegex(sent_boundary, "^" + BOUNDARY_PATTERN.pattern + "$")
        if boundary is not None:
            self.assertEqual(sent_boundary, boundary)

        body = self.read(folder, "body.bin")
        self.assertEqual(headers.get("content-length"), str(len(body)))
        expected = expected_body(sent_boundary, fields, path, part, content)
        if body != expected:
            at = first_difference(body, expected)
            self.fail("body differs at %d of %d/%d: %r vs %r" % (
                at, len(body), len(expected), body[at:at + 80], expected[at:at + 80]))

        # The collector's own parse, and the email package as an independent reader.
        self.assertEqual(self.read_json(folder, "fields.json"), fields)
        self.assertEqual(self.read(folder, "file.bin"), content)
        report = self.read_json(folder, "upload.json")
        self.assertEqual(report["parts"][-1]["filename"], path)
        self.assertEqual(report["answer"], 200)
        message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
            b"Content-Type: " + content_type.encode() + b"\r\n\r\n" + body)
        parts = list(message.iter_parts())
        self.assertEqual(len(parts), len(fields) + 1)
        self.assertEqual([p.get_param("name", header="content-disposition") for p in parts],
                         sorted(fields) + [part])
        self.assertEqual(parts[-1].get_payload(decode=True), content)
        return sent_boundary


class Body(UploadTestCase):
    """The body arrives byte-exact."""

    def test_no_fields_sends_only_the_file_part_with_the_first_unseeded_boundary(self):
        content = bytes(range(256)) * 3
        path = windows_path(self.make_file("plain/crash.zip", content))
        (folder,), results = self.upload(path=path)
        self.assertEqual(results[0][0], True)
        self.check_upload(folder, {}, path, content, boundary=boundary_of_upload(0))

    def test_fields_go_out_in_ascending_order_of_name(self):
        content = b"PK\x03\x04 not really an archive\r\n--\r\n"
        path = windows_path(self.make_file("ordered/crash.zip", content))
        fields = {"zeta": "3", "name": "crash", "Zulu": "upper case first", "alpha": "1"}
        (folder,), results = self.upload(path=path, fields=fields)
        self.assertTrue(results[0][0])
        self.check_upload(folder, fields, path, content)
        body = self.read(folder, "body.bin")
        order = [body.index(b'name="%s"' % n.encode()) for n in ("Zulu", "alpha", "name", "zeta")]
        self.assertEqual(order, sorted(order))

    def test_values_with_quotes_line_breaks_and_unicode_go_out_unchanged(self):
        content = b"\r\n"
        path = windows_path(self.make_file("values/crash.zip", content))
        fields = {
            "quote": 'say "hi" and "bye"',
            "lines": "first\r\nsecond\nthird\rfourth\r\n",
            "dashes": "\r\n--" + "-" * 27 + "not the boundary",
            "empty": "",
            "unicode": "Gr\u00fc\u00dfe \u20ac \u0434\u0430\u043c\u043f \U0001F600",
        }
        (folder,), results = self.upload(path=path, fields=fields, part="report file")
        self.assertTrue(results[0][0])
        self.check_upload(folder, fields, path, content, part="report file")

    def test_non_ascii_path_is_sent_as_its_utf8_bytes(self):
        content = os.urandom(1000)
        linux = self.make_file("d\u00e4mp \u0434\u0430\u043c\u043f \U0001F600/\u00fc.zip", content)
        path = windows_path(linux)
        (folder,), results = self.upload(path=path, fields={"name": "x"})
        self.assertTrue(results[0][0])
        self.check_upload(folder, {"name": "x"}, path, content)
        self.assertIn(path.encode("utf-8"), self.read(folder, "body.bin"))

    def test_empty_file_puts_the_trailer_right_after_the_prefix(self):
        path = windows_path(self.make_file("empty/crash.zip", b""))
        (folder,), results = self.upload(path=path, fields={"name": "empty"})
        self.assertTrue(results[0][0])
        self.check_upload(folder, {"name": "empty"}, path, b"")

    def test_files_at_the_read_size_and_one_byte_past_it(self):
        for size in (65535, 65536, 65537, 3 * 65536 + 17):
            with self.subTest(size=size):
                content = os.urandom(size)
                path = windows_path(self.make_file("sizes/%d.bin" % size, content))
                (folder,), results = self.upload(path=path)
                self.assertTrue(results[0][0])
                self.check_upload(folder, {}, path, content)

    def test_each_upload_of_a_process_takes_the_next_two_numbers(self):
        content = b"twice"
        path = windows_path(self.make_file("twice/crash.zip", content))
        folders, results = self.upload(path=path, repeat=3)
        self.assertEqual([r[0] for r in results], [True] * 3)
        boundaries = [self.check_upload(folder, {}, path, content) for folder in folders]
        self.assertEqual(boundaries, [boundary_of_upload(i) for i in range(3)])


class Refusals(UploadTestCase):
    """Refused before any connection: the collector sees nothing."""

    def refused(self, url=None, path=None, fields=None, part="crashdump"):
        connections = len(self.collector.events("connection"))
        if path is None:
            path = windows_path(self.make_file("refused/crash.zip", b"content"))
        results = run_probe(url or self.collector.url(), path, part=part, fields=fields)
        self.assertFalse(results[0][0])
        time.sleep(0.2)  # anything that did connect would have been logged by now
        self.assertEqual(len(self.collector.events("connection")), connections,
                         "the collector saw a connection")
        return results[0]

    def test_bad_field_names(self):
        for name in ('a"b', "", "caf\u00e9", "tab\there", "\x7f\x80", "line\r\n"):
            with self.subTest(name=name):
                self.refused(fields={"good": "v", name: "v"})

    def test_schemes_other_than_exact_http_and_https(self):
        for scheme in ("ftp", "HTTP", "Http", "file", "gopher"):
            with self.subTest(scheme=scheme):
                self.refused(url=self.collector.url().replace("http", scheme, 1))

    def test_url_parts_that_do_not_fit(self):
        # A long host is refused as well (see UrlParts); it is not tried here because a
        # host that got through would be looked up in the name service, off this machine.
        url = self.collector.url()
        self.refused(url=url + "p" * 300)
        self.refused(url=url.replace("http", "h" * 20, 1))

    def test_missing_file_never_starts_the_request(self):
        self.refused(path=windows_path(os.path.join(self.work, "no such folder", "x.zip")))
        self.refused(path=windows_path(self.work))  # a folder is no file

    def test_body_longer_than_4_gib_minus_one_is_not_announced_wrapped(self):
        linux = os.path.join(self.work, "huge", "crash.zip")
        os.makedirs(os.path.dirname(linux), exist_ok=True)
        path = windows_path(linux)
        fixed = 143 + len("crashdump") + len(path.encode()) + 51
        for size in (2 ** 32 - fixed, 2 ** 32 + 100):  # one byte too many; wraps to ~250
            with self.subTest(size=size):
                with open(linux, "wb") as sparse:
                    sparse.truncate(size)
                started = time.monotonic()
                self.refused(path=path)
                self.assertLess(time.monotonic() - started, 30)
        os.remove(linux)


class Responses(UploadTestCase):
    """Only 200 with a whole body is success."""

    def setUp(self):
        self.path = windows_path(self.make_file("responses/crash.zip", b"answer me"))

    def answered(self, mode):
        (folder,), results = self.upload(mode=mode, path=self.path, fields={"name": mode})
        report = self.read_json(folder, "upload.json")
        self.assertTrue(report["complete"], report)  # the request itself always went out
        self.assertTrue(report["parsed"], report)
        return results[0]

    def test_200_with_its_whole_body_succeeds(self):
        self.assertTrue(self.answered("ok")[0])

    def test_other_status_codes_fail_even_2xx(self):
        for mode in ("201", "204", "500"):
            with self.subTest(mode=mode):
                self.assertFalse(self.answered(mode)[0])

    def test_200_shorter_than_its_content_length_fails(self):
        self.assertFalse(self.answered("short")[0])

    def test_200_without_content_length_succeeds_at_the_end_of_the_body(self):
        self.assertTrue(self.answered("nolength")[0])

    def test_connection_closed_without_an_answer_fails(self):
        self.assertFalse(self.answered("close")[0])

    def test_slow_answer_is_waited_for(self):
        succeeded, ms, _ = self.answered("slow")
        self.assertTrue(succeeded)
        self.assertGreaterEqual(ms, DELAY * 1000 - 100)

    def test_huge_negative_or_unreadable_content_length_fails_without_ending_the_process(self):
        for mode in ("huge-length", "negative-length", "giant-length"):
            with self.subTest(mode=mode):
                self.assertFalse(self.answered(mode)[0])  # the probe printed and exited 0

    def test_refused_connection_fails_quickly(self):
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            port = s.getsockname()[1]
        started = time.monotonic()
        results = run_probe("http://127.0.0.1:%d/store-dump/" % port, self.path)
        self.assertFalse(results[0][0])
        self.assertLess(time.monotonic() - started, 10)

    def test_url_without_port_uses_port_80(self):
        store = os.path.join(self.work, "store-80")
        try:
            collector = Collector(store, port=80)
        except (RuntimeError, OSError):
            self.skipTest("port 80 on 127.0.0.1 is not available")
        try:
            results = run_probe(collector.url(port=False), self.path)
            self.assertTrue(results[0][0])
            self.assertEqual(len(collector.uploads()), 1)
        finally:
            collector.stop()

    def test_file_that_shrinks_while_sent_fails_the_upload(self):
        # The collector stops reading after the request headers, so the uploader blocks
        # mid-file; the file is cut short meanwhile and the next read finds nothing.
        linux = self.make_file("shrink/crash.zip", os.urandom(1 << 20) * 64)
        before = set(self.collector.uploads())
        probe = subprocess.Popen(
            [WINE_RUN, PROBE, probe_argument(self.collector.url("stall-body")),
             probe_argument(windows_path(linux)), probe_argument("crashdump")],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            text=True, env=ENVIRONMENT)
        try:
            upload_id = None
            deadline = time.monotonic() + 60
            while upload_id is None and time.monotonic() < deadline:
                fresh = [e["id"] for e in self.collector.events("headers")
                         if e["id"] not in before]
                upload_id = fresh[0] if fresh else None
                time.sleep(0.02)
            self.assertIsNotNone(upload_id, "the request never arrived")
            os.truncate(linux, 1 << 20)
            output, _ = probe.communicate(timeout=PROBE_TIMEOUT)
        finally:
            if probe.poll() is None:
                probe.kill()
                probe.wait()
        self.assertEqual(probe.returncode, 0)
        self.assertRegex(output, r"^result 0 ")
        self.assertTrue(self.collector.wait_for_event("stored", upload_id))
        report = self.read_json(os.path.join(self.collector.store, upload_id), "upload.json")
        self.assertFalse(report["complete"])
        self.assertLess(report["received_bytes"], report["announced_bytes"])


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v", GROUP])
