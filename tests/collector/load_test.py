#!/usr/bin/python3
"""Many uploads at once: 50 concurrent 10 MiB archives reach the collector service; every
one is answered, stored, indexed and processed, and the collector's peak memory stays far
below what the bodies add up to (each is streamed to disk, never held whole). Small reports
of several crashes, sent from many clients while others read the groups, are each stored
once and counted in the right group.

usage: load_test.py
"""

import os
import shutil
import sys
import tempfile
import threading
import time
import unittest
import zipfile

import minidump_builder as mb
from support import Service, in_parallel, zip_of

UPLOADS = 50
ARCHIVE_BYTES = 10 << 20
# Bounded means: far below the bodies' total, whatever the number of uploads.
MEMORY_LIMIT = 160 << 20
PROCESS_SECONDS = 400
# Exception code and address of each crash sent in the mixed run; uploads go round-robin.
CRASHES = [(0xC0000005, 0x00401234), (0xC0000094, 0x00402000), (0xC00000FD, 0x00401234),
           (0xC0000005, 0x00403000)]
MIXED_UPLOADS = 200
CLIENTS = 16


def ten_mib_archive(path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_STORED) as archive:
        archive.writestr("load.dmp", mb.sample_dump())
        archive.writestr("extra.bin", os.urandom(ARCHIVE_BYTES - 4096))
    with open(path, "rb") as f:
        return f.read()


def peak_memory(pid):
    """VmHWM of a Linux process, in bytes."""
    with open("/proc/%d/status" % pid) as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmHWM")


class ManyUploadsAtOnce(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="collector-load-")
        self.service = Service(os.path.join(self.work, "store"),
                               options=("--threads", "16", "--max-seconds", "900"))

    def tearDown(self):
        self.service.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def test_fifty_concurrent_ten_mib_uploads_are_all_stored_with_bounded_memory(self):
        content = ten_mib_archive(os.path.join(self.work, "load.zip"))
        idle = peak_memory(self.service.process.pid)
        answers, start = [None] * UPLOADS, threading.Barrier(UPLOADS)

        def send(n):
            start.wait()
            try:
                answers[n] = self.service.upload(content, name="Load%d" % n, timeout=300)
            except OSError as error:
                answers[n] = (None, str(error).encode(), {})

        threads = [threading.Thread(target=send, args=(n,)) for n in range(UPLOADS)]
        began = time.monotonic()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        seconds = time.monotonic() - began
        self.assertEqual([a[0] for a in answers], [200] * UPLOADS, [a[1] for a in answers])
        status = self.service.wait_processed(UPLOADS, PROCESS_SECONDS)
        self.assertEqual(status, {"processed": UPLOADS})
        ids = {self.service.stored_id(a) for a in answers}
        self.assertEqual(self.service.grouped_ids(), ids)
        group, = self.service.get_json("/api/groups")  # one bug, one row
        self.assertEqual(group["count"], UPLOADS)
        self.assertEqual(set(group["apps"].split(",")), {"Load%d" % n for n in range(UPLOADS)})
        for upload_id in ids:
            path = os.path.join(self.service.store, "uploads", upload_id, "upload.bin")
            self.assertEqual(os.path.getsize(path), len(content))
        peak = peak_memory(self.service.process.pid)
        print("%d uploads of %.1f MiB in %.1f s (%.1f MiB/s received); collector peak memory "
              "%.1f MiB (%.1f MiB idle) for %.0f MiB of bodies" % (
                  UPLOADS, len(content) / 2**20, seconds, UPLOADS * len(content) / 2**20 / seconds,
                  peak / 2**20, idle / 2**20, UPLOADS * len(content) / 2**20))
        self.assertLess(peak, MEMORY_LIMIT)


class ManyCrashesAtOnce(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="collector-mixed-")
        # No debugger: the signatures come from module offsets, processing stays cheap.
        self.service = Service(os.path.join(self.work, "store"),
                               options=("--threads", "8", "--workers", "4", "--lldb", ""))

    def tearDown(self):
        self.service.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def test_each_upload_is_stored_and_counted_once_in_its_group(self):
        archives = [zip_of([("a.dmp", mb.sample_dump(code, address))])
                    for code, address in CRASHES]
        answers, reading = {}, threading.Event()

        def send(n):
            answers[n] = self.service.upload(archives[n % len(CRASHES)], name="Mixed")

        def read():  # pages read while the index is written
            while not reading.is_set():
                self.service.get_json("/api/groups?order=count")

        readers = [threading.Thread(target=read) for _ in range(2)]
        for thread in readers:
            thread.start()
        for thread in in_parallel(MIXED_UPLOADS, CLIENTS, send):
            thread.join()
        reading.set()
        for thread in readers:
            thread.join()
        ids = [self.service.stored_id(answers[n]) for n in range(MIXED_UPLOADS)]
        self.assertEqual(len(set(ids)), MIXED_UPLOADS)
        self.assertEqual(self.service.wait_processed(MIXED_UPLOADS),
                         {"processed": MIXED_UPLOADS})
        counts = {g["signature"]: g["count"] for g in self.service.get_json("/api/groups")}
        expected = {"0x%08X app.exe+0x%X" % (code, address - 0x00400000):
                    MIXED_UPLOADS // len(CRASHES) for code, address in CRASHES}
        self.assertEqual(counts, expected)
        self.assertEqual(self.service.grouped_ids(), set(ids))
        for n, upload_id in enumerate(ids):
            report = self.service.get_json("/api/reports/" + upload_id)
            code, address = CRASHES[n % len(CRASHES)]
            self.assertEqual(report["details"]["dump"]["exception"]["code"], code)
        self.assertEqual(sorted(os.listdir(os.path.join(self.service.store, "uploads"))),
                         sorted(ids))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
