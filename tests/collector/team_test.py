#!/usr/bin/python3
"""Several collectors and workers on one PostgreSQL database and one store folder, as a team
deploys them: 1,000 uploads of a few crashes reach two collectors while two worker processes
process them; one worker is killed while it processes, one collector while a body arrives.
Afterwards every answered upload is indexed and processed once and the groups count right.

usage: team_test.py
"""

import http.client
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
import postgres
from support import HERE, ROOT, Service, in_parallel, multipart, zip_of

SERVICE = os.path.join(ROOT, "collector", "service.py")
DYING = os.path.join(HERE, "dying_service.py")
UPLOADS = 1000
CLIENTS = 8
CRASHES = [(0xC0000005, 0x00401234), (0xC0000094, 0x00402000), (0xE0435202, 0x00403000)]
LEASE_SECONDS = "3"
DYING_WORKER_AT = 3  # the upload the killed worker dies processing
PROCESS_SECONDS = 300


class TeamOnOneDatabase(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="collector-team-")
        self.store = os.path.join(self.work, "store")
        self.database = postgres.server().database(self.store)
        self.shared = ("--store", self.store, "--database", self.database, "--lease-seconds",
                       LEASE_SECONDS, "--lldb", "", "--max-seconds", "900")
        self.processes = []

    def tearDown(self):
        for process in self.processes:
            if process.poll() is None:
                process.kill()
            process.wait()
        for service in getattr(self, "collectors", []):
            service.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def start_worker(self, *prefix):
        process = subprocess.Popen([sys.executable, *prefix, "work", *self.shared,
                                    "--workers", "2"], stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.processes.append(process)
        self.assertEqual(process.stdout.readline(), "working\n")
        return process

    def test_two_collectors_and_two_workers_lose_and_double_nothing(self):
        self.collectors = [Service(self.store, options=self.shared[2:] + ("--workers", "0"))
                           for _ in range(2)]
        dying = self.start_worker(DYING, "processing", str(DYING_WORKER_AT))
        self.start_worker(SERVICE)
        archives = [zip_of([("a.dmp", mb.sample_dump(code, address))])
                    for code, address in CRASHES]
        answered = {}

        def send(n):
            for collector in self.collectors[n % 2:] + self.collectors[:n % 2]:
                try:
                    status, body, _ = collector.upload(archives[n % len(CRASHES)], timeout=60)
                except (OSError, http.client.HTTPException):
                    continue  # the killed collector, maybe mid-answer: send to the other
                if status == 200:
                    answered[body.decode().split()[1]] = n % len(CRASHES)
                    return

        senders = in_parallel(UPLOADS, CLIENTS, send)
        while len(answered) < UPLOADS // 2:
            time.sleep(0.01)
        self.kill_mid_body(self.collectors[0])
        for thread in senders:
            thread.join()
        self.assertEqual(dying.wait(PROCESS_SECONDS), -signal.SIGKILL)
        self.assertEqual(len(answered), UPLOADS)

        survivor = self.collectors[1]
        deadline = time.monotonic() + PROCESS_SECONDS
        while "received" in survivor.get_json("/api/status"):
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.2)
        status = survivor.get_json("/api/status")
        indexed = {r["id"]: r for r in self.all_reports(survivor)}
        self.assertEqual(set(answered) - set(indexed), set())
        self.assertEqual(status, {"processed": len(indexed)})
        # Claimed once, but for what the killed worker's two threads held, taken over after
        # their leases.
        taken_over = [i for i, r in indexed.items() if r["attempts"] != 1]
        self.assertTrue(1 <= len(taken_over) <= 2, taken_over)
        self.assertEqual({indexed[i]["attempts"] for i in taken_over}, {2})
        counts = {g["signature"]: g["count"] for g in survivor.get_json("/api/groups")}
        expected = {}
        for upload_id, kind in answered.items():
            code, address = CRASHES[kind]
            signature = "0x%08X app.exe+0x%X" % (code, address - 0x00400000)
            expected[signature] = expected.get(signature, 0) + 1
        self.assertEqual(sum(counts.values()), len(indexed))
        for signature, count in expected.items():
            self.assertGreaterEqual(counts[signature], count)
        # Beyond the answered ones, at most the uploads the killed collector was committing
        # when it died were stored (one per client at most); their clients sent them again.
        self.assertLessEqual(len(indexed) - len(answered), CLIENTS)

    def kill_mid_body(self, collector):
        body = multipart("App", "a.zip", zip_of([("a.dmp", mb.sample_dump())]))
        with socket.create_connection(("127.0.0.1", collector.port), timeout=30) as s:
            s.sendall(b"POST /store-dump/ HTTP/1.1\r\nHost: x\r\nContent-Type: multipart/"
                      b"form-data; boundary=" + b"-" * 27 + b"1234ABCD5678EF90\r\n"
                      b"Content-Length: %d\r\n\r\n" % len(body) + body[:len(body) // 2])
            time.sleep(0.2)
            collector.process.kill()
            collector.process.wait(30)

    def all_reports(self, service):
        return [service.get_json("/api/reports/" + r["id"])
                for g in service.get_json("/api/groups")
                for r in service.get_json("/api/groups/" + g["group_id"])]


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
