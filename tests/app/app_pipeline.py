#!/usr/bin/python3
"""The crash report pipeline end to end: a real client application (AppClient.exe) starts the
real reporter, hands it a window, registers and asks for dumps; the reporter uploads to the
reference collector on 127.0.0.1 and runs the scan on the replacement diagnostic library.

usage: app_pipeline.py <group> <collector.py> <wine-run> <bin folder>

Each case runs in a folder of its own holding a copy of the reporter, and the replacement
library beside it as libjxdiag.dll when the case wants one: the reporter loads it by bare
name, and makes its own folder the current directory, so the relative dump directory
"dumps" and the extra-file pattern "*.txt" resolve there.
"""

import json
import os
import re
import shutil
import socket
import struct
import sys
import tempfile
import time
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from wine_harness import Collector, Program, windows_path  # noqa: E402

GROUP, COLLECTOR, WINE_RUN, BIN = sys.argv[1:5]
WINDOW_SIZE = (240, 160)  # AppClient's window
NOTES = b"notes beside the reporter\r\n" * 50
FULL_MEMORY = 0x2
SCAN = ["attach", "JXD_InitializeW KZR 0 0", "JXD_SetUserInformationW 0 RIZurarUzedudor Crash",
        "JXD_SetScanLevel 2", "JXD_SetScanOption 0", "JXD_StartScan"]

ENVIRONMENT = {k: v for k, v in os.environ.items()
               if "proxy" not in k.lower() and not k.startswith("JXD_TEST_")}
ENVIRONMENT["LC_ALL"] = "C.UTF-8"


def Client(arguments, environment):
    """AppClient.exe under Wine, one command and one answer at a time."""
    return Program(WINE_RUN, os.path.join(BIN, "AppClient.exe"), arguments, environment)


class PipelineCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="app-pipeline-")
        cls.collector = Collector(COLLECTOR, os.path.join(cls.work, "store"))
        cls.counter = 0

    @classmethod
    def tearDownClass(cls):
        cls.collector.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def setUp(self):
        type(self).counter += 1
        self.server = "Pipe%d%s" % (os.getpid(), type(self).counter)
        self.folder = os.path.join(self.work, "case%d" % type(self).counter)
        self.dumps = os.path.join(self.folder, "dumps")
        os.makedirs(self.dumps)
        shutil.copy(os.path.join(BIN, "RIZurarUzedudor.exe"), self.folder)
        with open(os.path.join(self.folder, "notes.txt"), "wb") as notes:
            notes.write(NOTES)
        self.environment = dict(ENVIRONMENT)
        self.clients = []

    def tearDown(self):
        for client in self.clients:
            client.close()

    def use_library(self, variant="ReplacementDiag", **results):
        shutil.copy(os.path.join(BIN, variant + ".dll"), os.path.join(self.folder, "libjxdiag.dll"))
        self.log = os.path.join(self.folder, "diag.log")
        self.environment["JXD_TEST_LOG"] = windows_path(self.log)
        for name, value in results.items():
            self.environment["JXD_TEST_" + name] = str(value)

    def diag_lines(self, count, seconds=20):
        """The library's log once it holds count lines (the scan ends after dump-done)."""
        deadline = time.monotonic() + seconds
        lines = []
        while time.monotonic() < deadline:
            try:
                with open(self.log) as log:
                    lines = log.read().splitlines()
            except FileNotFoundError:
                lines = []
            if len(lines) >= count:
                break
            time.sleep(0.1)
        return lines

    def launch(self, host=None, dumps="dumps", window=True):
        client = Client(["launch", windows_path(os.path.join(self.folder, "RIZurarUzedudor.exe")),
                         self.server, host or self.collector.host, dumps, "*.txt"],
                        self.environment)
        self.clients.append(client)
        self.assertRegex(client.read(), r"^launch 1 \d+$")
        self.pipe = re.fullmatch(r"pipe (.+)", client.read()).group(1)
        if window:
            self.assertRegex(client.ask("window"), r"^window 0x[1-9a-f][0-9a-f]* 1$")
        return client

    def crash_report(self, client, dump_type=0, command="dump"):
        """Registers, asks for a dump and returns (files left, new uploads)."""
        before = set(self.collector.uploads())
        self.assertEqual(client.ask("register %d" % dump_type), "register 1")
        answer = client.ask(command)
        self.assertRegex(answer, r"^%s Done \d+$" % command)
        self.milliseconds = int(answer.split()[2])
        return self.files(), sorted(set(self.collector.uploads()) - before)

    def files(self, folder=None):
        return sorted(os.listdir(folder or self.dumps))

    def stored(self, upload, name):
        with open(os.path.join(self.collector.store, upload, name), "rb") as f:
            return f.read()

    def check_upload(self, upload, path):
        """The collector holds exactly the bytes of path, sent as "crashdump" with "name"."""
        self.assertEqual(json.loads(self.stored(upload, "fields.json")), {"name": self.server})
        with open(path, "rb") as f:
            self.assertEqual(self.stored(upload, "file.bin"), f.read())
        report = json.loads(self.stored(upload, "upload.json"))
        self.assertEqual(report["parts"][-1]["name"], "crashdump")
        self.assertEqual(report["parts"][-1]["filename"], windows_path(path))
        self.assertEqual(json.loads(self.stored(upload, "request.json"))["path"], "/store-dump/")

    def archive_entries(self, path):
        with zipfile.ZipFile(path) as archive:
            self.assertIsNone(archive.testzip())
            return {info.filename: archive.read(info) for info in archive.infolist()}

    def check_bitmap(self, data):
        self.assertEqual(data[:2], b"BM")
        width, height = struct.unpack_from("<ii", data, 18)
        self.assertEqual((width, abs(height)), WINDOW_SIZE)


UUID = r"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}"


class Archive(PipelineCase):
    """The files-left-on-disk table, row by row, and what went to the collector."""

    def test_crash_with_window_leaves_only_the_archive_and_uploads_it(self):
        self.use_library()
        client = self.launch()
        files, uploads = self.crash_report(client, command="crash")
        self.assertEqual(len(files), 1, files)
        self.assertRegex(files[0], "^%s\\.zip$" % UUID)
        base = files[0][:-4]
        archive = os.path.join(self.dumps, files[0])
        entries = self.archive_entries(archive)
        self.assertEqual(sorted(entries), sorted([base + ".dmp", base + ".bmp", "notes.txt"]))
        self.assertEqual(entries[base + ".dmp"][:4], b"MDMP")
        self.check_bitmap(entries[base + ".bmp"])  # the handed-over window, by its size
        self.assertEqual(entries["notes.txt"], NOTES)
        self.assertEqual(len(uploads), 1)
        self.check_upload(uploads[0], archive)
        self.assertEqual(self.diag_lines(8), SCAN + ["JXD_Finalize", "detach"])

    def test_full_memory_pair_is_archived_from_the_full_dump_alone(self):
        client = self.launch()
        files, uploads = self.crash_report(client, dump_type=FULL_MEMORY)
        self.assertEqual(len(files), 1, files)
        self.assertRegex(files[0], "^%s-full\\.zip$" % UUID)
        base = files[0][:-len("-full.zip")]
        archive = os.path.join(self.dumps, files[0])
        entries = self.archive_entries(archive)
        self.assertEqual(sorted(entries), sorted([base + "-full.dmp", base + ".bmp", "notes.txt"]))
        self.assertEqual(entries[base + "-full.dmp"][:4], b"MDMP")
        self.check_upload(uploads[0], archive)

    def test_archive_that_cannot_be_made_sends_the_normal_dump_and_keeps_every_file(self):
        # Too long for the archive writer's ANSI path, not for the dump writer. The bitmap
        # writer refuses such a path too, so no bitmap is made here.
        dumps = os.path.join(self.folder, "d" * 230)
        os.makedirs(dumps)
        for dump_type, left in ((0, [".dmp"]), (FULL_MEMORY, ["-full.dmp", ".dmp"])):
            with self.subTest(dump_type=dump_type):
                for name in os.listdir(dumps):
                    os.remove(os.path.join(dumps, name))
                client = self.launch(dumps=windows_path(dumps))
                _, uploads = self.crash_report(client, dump_type=dump_type)
                files = self.files(dumps)
                base = files[0][:36]
                self.assertEqual(files, [base + suffix for suffix in left])
                self.check_upload(uploads[0], os.path.join(dumps, base + ".dmp"))
                client.close()

    def test_without_a_window_there_is_no_bitmap(self):
        client = self.launch(window=False)
        files, uploads = self.crash_report(client)
        self.assertEqual(len(files), 1, files)
        entries = self.archive_entries(os.path.join(self.dumps, files[0]))
        self.assertEqual(sorted(entries), sorted([files[0][:-4] + ".dmp", "notes.txt"]))
        self.check_upload(uploads[0], os.path.join(self.dumps, files[0]))

    def test_unreachable_collector_still_scans_and_releases_the_client(self):
        self.use_library()
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            closed = "http://127.0.0.1:%d" % s.getsockname()[1]
        client = self.launch(host=closed)
        files, uploads = self.crash_report(client)
        self.assertEqual(uploads, [])
        self.assertEqual(len(files), 1)
        self.assertTrue(files[0].endswith(".zip"))  # the archive stays
        self.assertEqual(self.diag_lines(8), SCAN + ["JXD_Finalize", "detach"])


class Scan(PipelineCase):
    """What the diagnostic library sees, in order, for each of its answers."""

    def run_report(self):
        client = self.launch(window=False)
        files, uploads = self.crash_report(client)
        self.assertEqual(len(uploads), 1)
        self.assertEqual(len(files), 1)

    def test_absent_library_is_skipped(self):
        self.log = os.path.join(self.folder, "diag.log")
        self.environment["JXD_TEST_LOG"] = windows_path(self.log)
        self.run_report()
        time.sleep(1)
        self.assertFalse(os.path.exists(self.log))

    def test_refused_initialisation_calls_nothing_else(self):
        self.use_library(INITIALIZE_RESULT=7)
        self.run_report()
        self.assertEqual(self.diag_lines(3), ["attach", "JXD_InitializeW KZR 0 0", "detach"])

    def test_non_zero_start_scan_is_stopped_before_finalising(self):
        self.use_library(START_SCAN_RESULT=1)
        self.run_report()
        self.assertEqual(self.diag_lines(9), SCAN + ["JXD_StopScan", "JXD_Finalize", "detach"])

    def test_two_clients_crashing_at_once_get_two_reports_and_one_scan_at_a_time(self):
        self.use_library(CALL_DELAY_MS=100)
        first = self.launch(window=False)
        second = Client(["connect", self.pipe], self.environment)
        self.clients.append(second)
        self.assertEqual(second.read(), "connect 1")
        for client in (first, second):
            self.assertEqual(client.ask("register 0"), "register 1")
        before = set(self.collector.uploads())
        first.send("dump")
        second.send("dump")
        for client in (first, second):
            self.assertRegex(client.read(), r"^dump Done \d+$")
        self.assertEqual(len(set(self.collector.uploads()) - before), 2)
        self.assertEqual(len(self.files()), 2)
        lines = self.diag_lines(16)
        self.assertNotIn("overlap", lines)
        self.assertEqual(lines, (SCAN + ["JXD_Finalize", "detach"]) * 2)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v", GROUP])
