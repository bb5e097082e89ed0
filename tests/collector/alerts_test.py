#!/usr/bin/python3
"""Webhooks through the running service and a receiver the test starts: one delivery per
event, retried after a failure, and a receiver that never answers delays no upload. On
PostgreSQL, two collectors on one database deliver each event once between them.

usage: alerts_test.py
"""

import json
import os
import shutil
import sys
import tempfile
import threading
import time
import unittest

import minidump_builder as mb
from receiver import Receiver
from support import BACKEND, Service, zip_of

NO_LLDB = ("--lldb", "/bin/false")
QUICK_RETRY = ("--webhook-backoff", "0.2")


def crash(version, address=0x00401234):
    return zip_of([("a.dmp", mb.app_dump(version, address=address))])


def resolve(service, group, version):
    status, body, _ = service.request(
        "POST", "/api/groups/%s/state" % group,
        json.dumps({"state": "resolved", "version": version}).encode(),
        {"Content-Type": "application/json"})
    assert status == 200, body


def settled(service, seconds=30):
    """The deliveries once none is pending: a receiver has an event before its answer is
    recorded."""
    deadline = time.monotonic() + seconds
    while True:
        deliveries = service.get_json("/api/webhooks")
        if all(d["state"] != "pending" for d in deliveries):
            return deliveries
        assert time.monotonic() < deadline, deliveries
        time.sleep(0.1)


class Webhooks(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="collector-alerts-")
        self.services, self.receivers = [], []

    def tearDown(self):
        for service in self.services:
            service.stop()
        for receiver in self.receivers:
            receiver.stop()
        shutil.rmtree(self.work, ignore_errors=True)

    def start(self, *options, store="store"):
        service = Service(os.path.join(self.work, store), options=NO_LLDB + options)
        self.services.append(service)
        return service

    def receiver(self, **keywords):
        receiver = Receiver(**keywords)
        self.receivers.append(receiver)
        return receiver

    def report(self, service, content):
        return service.wait_report(service.stored_id(service.upload(content)))

    def test_a_new_group_and_a_regression_are_each_delivered_once(self):
        receiver = self.receiver()
        service = self.start("--webhook", receiver.url, *QUICK_RETRY)
        first = self.report(service, crash((1, 0, 0, 0)))
        self.report(service, crash((1, 0, 0, 1)))  # the same group: no event
        [new] = receiver.wait_for(1)
        self.assertEqual((new["event"], new["group_id"], new["version"], new["signature"]),
                         ("new_group", first["group_id"], "1.0.0.0", first["signature"]))
        self.assertEqual(new["page"], "/groups/" + first["group_id"])
        resolve(service, first["group_id"], "1.1")
        self.report(service, crash((1, 0, 5, 0)))  # older than the fix: no event
        self.report(service, crash((1, 2, 0, 0)))
        self.report(service, crash((1, 3, 0, 0)))  # already regressed: no event
        events = receiver.wait_for(2)
        self.assertEqual((events[1]["event"], events[1]["version"], events[1]["resolved_in"]),
                         ("regression", "1.2.0.0", "1.1"))
        time.sleep(1)  # anything extra would have come by now
        self.assertEqual(len(receiver.events), 2)
        self.assertEqual(receiver.attempts, 2)
        self.assertEqual({d["state"] for d in settled(service)}, {"delivered"})

    def test_a_failed_delivery_is_retried_and_every_receiver_gets_its_own(self):
        failing, steady = self.receiver(fail_first=2), self.receiver()
        service = self.start("--webhook", failing.url, "--webhook", steady.url, *QUICK_RETRY)
        report = self.report(service, crash((2, 0, 0, 0), address=0x00401300))
        for receiver in (failing, steady):
            [event] = receiver.wait_for(1)
            self.assertEqual(event["group_id"], report["group_id"])
        self.assertEqual((failing.attempts, steady.attempts), (3, 1))
        deliveries = {d["url"]: d for d in settled(service)}
        self.assertEqual(deliveries[failing.url]["attempts"], 3)
        self.assertEqual(deliveries[failing.url]["state"], "delivered")
        self.assertEqual(len({d["event_id"] for d in deliveries.values()}), 1)

    def test_a_receiver_that_never_answers_delays_no_upload(self):
        held = threading.Event()
        silent = self.receiver(hold=held)
        service = self.start("--webhook", silent.url, "--webhook", "http://127.0.0.1:9/x",
                             *QUICK_RETRY)
        # Each new group is an event the silent receiver holds for as long as the test runs;
        # every upload is answered and processed meanwhile.
        reports = [self.report(service, crash((3, 0, 0, n), address=0x00401000 + 0x10 * n))
                   for n in range(6)]
        self.assertEqual({r["state"] for r in reports}, {"processed"})
        self.assertFalse(held.is_set())
        self.assertEqual(silent.events, [])
        deliveries = service.get_json("/api/webhooks")
        self.assertEqual(len(deliveries), 12)
        refused = [d for d in deliveries if d["url"].startswith("http://127.0.0.1:9/")]
        self.assertTrue(all(d["state"] == "pending" for d in deliveries), deliveries)
        deadline = time.monotonic() + 30
        while not any(d["attempts"] >= 2 for d in refused):  # retried while the other waits
            self.assertLess(time.monotonic(), deadline)
            time.sleep(0.2)
            refused = [d for d in service.get_json("/api/webhooks")
                       if d["url"].startswith("http://127.0.0.1:9/")]
        retried = next(d for d in refused if d["attempts"] >= 2)
        self.assertIn("refused", (retried["last_error"] or "").lower(), retried)
        held.set()
        # A delivery unanswered within its time-out was sent again, with the same event id:
        # receivers tell repeats by it.
        deadline = time.monotonic() + 60
        while len({e["id"] for e in silent.events}) < 6:
            self.assertLess(time.monotonic(), deadline, silent.events)
            time.sleep(0.1)
        self.assertEqual({e["group_id"] for e in silent.events}, {r["group_id"] for r in reports})

    @unittest.skipUnless(BACKEND == "postgresql", "several collectors share PostgreSQL only")
    def test_collectors_sharing_a_database_deliver_each_event_once(self):
        receiver = self.receiver()
        collectors = [self.start("--webhook", receiver.url, *QUICK_RETRY, store="shared")
                      for _ in range(2)]
        count = 8
        ids = [collectors[n % 2].stored_id(collectors[n % 2].upload(
            crash((4, 0, 0, 0), address=0x00401000 + 0x10 * n))) for n in range(count)]
        for upload_id in ids:
            collectors[0].wait_report(upload_id)
        events = receiver.wait_for(count)
        time.sleep(2)  # both dispatchers poll every second: a second delivery would be here
        self.assertEqual(len(receiver.events), count)
        self.assertEqual(len({e["id"] for e in receiver.events}), count)
        self.assertEqual(len({e["group_id"] for e in events}), count)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
