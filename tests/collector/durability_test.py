#!/usr/bin/python3
"""The collector killed (SIGKILL) in the middle of an upload, of storing it, of indexing it
and of processing; restarted over the same store, it lists every upload it had answered
with success.

usage: durability_test.py
"""

import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import minidump_builder as mb
from support import HERE, Service, database_options, incoming_files, multipart, zip_of

DYING = os.path.join(HERE, "dying_service.py")


def report_zip():
    return zip_of([("a.dmp", mb.sample_dump()), ("a.bmp", b"BM" + bytes(100))])


class Restarts(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="collector-durability-")
        self.store = os.path.join(self.work, "store")
        self.services = []

    def tearDown(self):
        for service in self.services:
            service.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def start(self, *options):
        service = Service(self.store, options=options)
        self.services.append(service)
        return service

    def start_dying(self, point, nth, *options):
        """The service that kills itself at point of its nth upload."""
        service = Service.__new__(Service)
        service.store = self.store
        process = subprocess.Popen([sys.executable, DYING, point, str(nth), "--store",
                                    self.store, "--port", "0", "--max-seconds", "300", *options,
                                    *database_options(self.store)],
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL, text=True)
        line = process.stdout.readline()
        service.process, service.port = process, int(line.rsplit(":", 1)[1])
        service.host = "http://127.0.0.1:%d" % service.port
        self.services.append(service)
        return service

    def run_dying(self, point, nth, *options):
        """Starts the dying service over the store and waits until it has killed itself."""
        done = subprocess.run([sys.executable, DYING, point, str(nth), "--store", self.store,
                               "--port", "0", "--max-seconds", "60", *options,
                               *database_options(self.store)],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=120)
        self.assertEqual(done.returncode, -signal.SIGKILL)

    def kill(self, service):
        if service.process.poll() is None:
            service.process.send_signal(signal.SIGKILL)
        service.process.wait(30)

    def upload_all(self, service, count):
        """Ids of the uploads answered with 200; stops at the first that is not answered."""
        answered = []
        for _ in range(count):
            try:
                status, body, _ = service.upload(report_zip())
            except (OSError, ConnectionError, socket.timeout):
                break
            self.assertEqual(status, 200, body)
            answered.append(body.decode().split()[1])
        return answered

    def listed_after_restart(self, expected_total):
        service = self.start()
        service.wait_processed(expected_total)
        status = service.get_json("/api/status")
        self.assertEqual(sum(status.values()), expected_total, status)
        self.assertEqual(incoming_files(self.store), [])
        return service.grouped_ids()

    def test_killed_while_a_body_arrives(self):
        service = self.start()
        answered = self.upload_all(service, 2)
        body = multipart("App", "a.zip", report_zip())
        with socket.create_connection(("127.0.0.1", service.port), timeout=30) as s:
            s.sendall(b"POST /store-dump/ HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/"
                      b"form-data; boundary=" + b"-" * 27 + b"1234ABCD5678EF90\r\n"
                      b"Content-Length: %d\r\n\r\n" % len(body) + body[:len(body) // 2])
            self.kill(service)
        self.assertEqual(self.listed_after_restart(2), set(answered))

    def test_killed_before_the_stored_upload_is_renamed_into_place(self):
        service = self.start_dying("staged", 3)
        answered = self.upload_all(service, 3)
        self.kill(service)
        self.assertEqual(len(answered), 2)
        self.assertEqual(self.listed_after_restart(2), set(answered))

    def test_killed_inside_the_index_transaction(self):
        service = self.start_dying("indexing", 3)
        answered = self.upload_all(service, 3)
        self.kill(service)
        self.assertEqual(len(answered), 2)
        # The third was in place on disk when the collector died: recovery indexes it.
        listed = self.listed_after_restart(3)
        self.assertTrue(set(answered) < listed, (answered, listed))

    def test_an_upload_that_stops_the_collector_twice_is_set_aside_with_its_reason(self):
        service = self.start_dying("processing", 1)
        answered = self.upload_all(service, 1)
        service.process.wait(30)
        self.run_dying("processing", 1)  # queued again at the restart, and fatal again
        service = self.start()
        report = service.wait_report(answered[0])
        self.assertEqual(report["state"], "unprocessed", report)
        self.assertIn("cut short 2 times", report["reason"])
        later = service.wait_report(self.upload_all(service, 1)[0])
        self.assertEqual(later["state"], "processed", later)

    def test_killed_as_retention_removes_a_report(self):
        service = self.start()
        old = self.upload_all(service, 1)
        service.wait_processed(1)
        service.stop()
        time.sleep(1.5)
        self.run_dying("sweeping", 1, "--keep-days", str(1 / 86400))
        # Restarted without retention: the report it was removing stays gone.
        service = self.start()
        kept = self.upload_all(service, 1)
        service.wait_report(kept[0])
        self.assertEqual(service.request("GET", "/api/reports/" + old[0])[0], 404)
        self.assertEqual(service.grouped_ids(), set(kept))
        self.assertEqual(os.listdir(os.path.join(self.store, "uploads")), kept)
        self.assertEqual(os.listdir(os.path.join(self.store, "trash")), [])

    def test_killed_with_uploads_waiting_to_be_processed(self):
        service = self.start("--workers", "1")
        answered = self.upload_all(service, 8)
        self.kill(service)
        self.assertEqual(self.listed_after_restart(8), set(answered))


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
