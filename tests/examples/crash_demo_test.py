#!/usr/bin/python3
"""The demo end to end: CrashDemo.exe and the real reporter under Wine, the reference
collector on loopback, and what arrives there read back with zipfile and a stream-directory
reader of the dump format.

    crash_demo_test.py <build dir>
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import demo  # noqa: E402

BUILD_DIR = None
DEMO_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts",
                           "demo.py")
WRITE_ACCESS = 1
DEMO_BANDS = [(0xF0, 0x80, 0x10), (0x18, 0xA8, 0xE0), (0x40, 0xC0, 0x40), (0xC0, 0x28, 0x60)]
USAGE_EXIT_STATUS = 2
# Wine passes on the low byte of the process's exit code, 0xC0000005.
CRASH_EXIT_STATUS = 0xC0000005 & 0xFF


def post_upload(host, name):
    """A small upload under the application name name; the collector's answer status."""
    boundary = "part-boundary"
    body = ("--{b}\r\nContent-Disposition: form-data; name=\"name\"\r\n\r\n{n}\r\n"
            "--{b}\r\nContent-Disposition: form-data; name=\"crashdump\"; filename=\"a.zip\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\nnot an archive\r\n--{b}--\r\n"
            ).format(b=boundary, n=name).encode()
    request = urllib.request.Request(
        host + "/store-dump/", data=body,
        headers={"Content-Type": "multipart/form-data; boundary=" + boundary})
    with urllib.request.urlopen(request, timeout=30) as answer:
        return answer.status


def bitmap_colours(data):
    """The set of (r, g, b) of a 16-bit bottom-up bitmap without masks (5-5-5)."""
    offset, = struct.unpack_from("<I", data, 10)
    width, height = struct.unpack_from("<ii", data, 18)
    bits, = struct.unpack_from("<H", data, 28)
    assert bits == 16, bits
    row = (width * 2 + 3) // 4 * 4
    colours = set()
    for y in range(abs(height)):
        line = data[offset + y * row:offset + y * row + 2 * width]
        for value, in struct.iter_unpack("<H", line):
            colours.add((((value >> 10) & 31) << 3, ((value >> 5) & 31) << 3, (value & 31) << 3))
    return colours


class CrashDemoTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="crashdemo-")
        self.name = "CrashDemoTest%d%s" % (os.getpid(), self.id().rsplit(".", 1)[-1][5:12])

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def run_demo(self, **options):
        result = demo.run_demo(BUILD_DIR, os.path.join(self.work, "run"), name=self.name,
                               **options)
        self.assertFalse(result["timed_out"], result)
        self.assertEqual(result["killed_reporters"], [], "the reporter did not end by itself")
        return result

    def the_archive(self, result):
        self.assertEqual(len(result["uploads"]), 1, result)
        upload = result["uploads"][0]
        self.assertEqual(upload["report"].get("answer"), 200, upload["report"])
        self.assertEqual(upload["fields"], {"name": self.name})
        self.assertEqual(upload["part"]["name"], "crashdump")
        self.assertIsNotNone(upload.get("archive"), "the upload is not a ZIP archive")
        self.assertIsNone(upload["archive"]["bad_entry"])
        return upload["archive"]

    def check_crash(self, result, dump):
        self.assertTrue(dump["valid"])
        self.assertEqual(dump.get("code"), demo.ACCESS_VIOLATION, dump)
        self.assertEqual(dump["parameters"][:2], [WRITE_ACCESS, 0], "a write to address 0")
        self.assertIsNotNone(result["crashing_thread"], result["output"])
        self.assertEqual(dump["thread"], result["crashing_thread"])

    def test_crash_is_delivered_with_dump_and_screenshot(self):
        result = self.run_demo()
        self.assertEqual(result["exit_code"], CRASH_EXIT_STATUS, result)
        self.assertIn("registration: Registered", result["output"])
        archive = self.the_archive(result)
        self.assertTrue(demo.succeeded(result))
        names = [entry[0] for entry in archive["entries"]]
        dumps = [n for n in names if n.endswith(".dmp")]
        bitmaps = [n for n in names if n.endswith(".bmp")]
        self.assertEqual(len(dumps), 1, names)
        self.assertEqual(len(bitmaps), 1, names)
        self.assertEqual(dumps[0][:-4], bitmaps[0][:-4], "one report, one name")
        self.check_crash(result, archive["dumps"][dumps[0]])
        self.assertFalse(archive["dumps"][dumps[0]]["full_memory"])

        # The screenshot shows the demo's own painting, not an empty or foreign area.
        unpacked = demo.unpack(result["uploads"][0]["file"], result["work"])
        with open(os.path.join(unpacked, bitmaps[0]), "rb") as f:
            colours = bitmap_colours(f.read())
        for band in DEMO_BANDS:
            self.assertIn(band, colours)

        # Only the archive stays where the reporter worked, and it is what was sent.
        self.assertEqual(result["left_in_dumps"], [dumps[0][:-4] + ".zip"])
        with open(os.path.join(result["dumps"], result["left_in_dumps"][0]), "rb") as kept, \
                open(result["uploads"][0]["file"], "rb") as sent:
            self.assertEqual(kept.read(), sent.read())

    def test_full_memory_dump_is_the_one_packed(self):
        result = self.run_demo(full_memory=True)
        archive = self.the_archive(result)
        dumps = [n for n in archive["dumps"]]
        self.assertEqual(len(dumps), 1, dumps)
        self.assertTrue(dumps[0].endswith("-full.dmp"), dumps)
        self.assertTrue(archive["dumps"][dumps[0]]["full_memory"])
        self.check_crash(result, archive["dumps"][dumps[0]])
        self.assertEqual([n for n in result["left_in_dumps"] if not n.endswith(".zip")], [])

    def test_unreachable_collector_keeps_the_report_on_disk(self):
        result = self.run_demo(collector_running=False)
        self.assertEqual(result["exit_code"], CRASH_EXIT_STATUS, result)
        self.assertEqual(result["uploads"], [])
        archives = [n for n in result["left_in_dumps"] if n.endswith(".zip")]
        self.assertEqual(len(archives), 1, result["left_in_dumps"])
        kept = demo.read_archive(os.path.join(result["dumps"], archives[0]))
        self.assertIsNotNone(kept)
        self.check_crash(result, next(iter(kept["dumps"].values())))

    def test_an_upload_refused_for_its_rate_keeps_the_report_on_disk(self):
        inbox = demo.Inbox(os.path.join(self.work, "inbox"),
                           options=("--upload-rate", "0.001", "--upload-burst", "1"))
        self.addCleanup(inbox.stop)
        self.assertEqual(post_upload(inbox.host, self.name), 200)  # the application's one
        result = self.run_demo(inbox=inbox, expected_uploads=0)
        self.assertEqual(result["exit_code"], CRASH_EXIT_STATUS, result)
        self.assertEqual(result["uploads"], [], "the collector kept a refused upload")
        archives = [n for n in result["left_in_dumps"] if n.endswith(".zip")]
        self.assertEqual(len(archives), 1, result["left_in_dumps"])
        kept = demo.read_archive(os.path.join(result["dumps"], archives[0]))
        self.check_crash(result, next(iter(kept["dumps"].values())))

    def test_the_hang_kind_is_reported_as_a_hang_and_the_demo_goes_on(self):
        done = subprocess.run([sys.executable, DEMO_SCRIPT, BUILD_DIR, "--work", self.work,
                               "--name", self.name, "--crash", "hang"],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=demo.DEMO_SECONDS * 2)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertIn("CrashDemo ended with exit status 0\n", done.stdout)
        hung = re.search(r"demo: hung thread (\d+):", done.stdout)
        self.assertIsNotNone(hung, done.stdout)
        self.assertIn("hang report: code 0xE048414E (application hang), thread %s, hung in "
                      "CrashDemo.exe!(anonymous namespace)::BlockWithoutReadingMessages()\n"
                      % hung.group(1), done.stdout)

    def test_bad_command_lines_are_refused_without_a_reporter(self):
        for arguments in ([], ["http://127.0.0.1:9"], ["http://127.0.0.1:9", "dumps", "--bogus"],
                          ["http://127.0.0.1:9", "dumps", "--name"], ["", "dumps"],
                          ["http://127.0.0.1:9", "dumps", "--crash", "bogus"],
                          ["http://127.0.0.1:9", "dumps", "--crash"]):
            with self.subTest(arguments=arguments):
                result = self.run_demo(demo_arguments=arguments)
                self.assertEqual(result["exit_code"], USAGE_EXIT_STATUS, result)
                self.assertTrue(any(l.startswith("usage: CrashDemo.exe") for l in
                                    result["errors"]), result["errors"])
                self.assertEqual(result["output"], [])
                self.assertEqual(result["uploads"], [])


if __name__ == "__main__":
    BUILD_DIR = sys.argv.pop(1)
    unittest.main(verbosity=2)
