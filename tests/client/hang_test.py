#!/usr/bin/python3
"""Hang reports in a real application under Wine: HangClient.exe with the watchdog on, the
real reporter, and the collector service, which unwinds the hung thread with lldb (the
build's and the system's modules uploaded as symbols). Each dump's exception stream is read
back with the stream-directory reader of the dump format.

    hang_test.py <build dir> [unittest arguments]
"""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import demo  # noqa: E402

BUILD_DIR = None
CLIENT = "HangClient.exe"
THRESHOLD_MS = 2000


class HangTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="hangs-")
        cls.inbox = demo.Inbox(os.path.join(cls.work, "inbox"),
                               symbols=os.path.join(BUILD_DIR, "bin"))
        try:
            cls.inbox.upload_symbols(demo.system_modules(BUILD_DIR,
                                                         os.path.join(cls.work, "system")))
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.inbox.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def run_client(self, scenario, uploads):
        result = demo.run_demo(BUILD_DIR, os.path.join(self.work, scenario), program=CLIENT,
                               extra_arguments=["Hang%d%s" % (os.getpid(), scenario), scenario],
                               expected_uploads=uploads, inbox=self.inbox)
        self.assertFalse(result["timed_out"], result)
        self.assertEqual(result["exit_code"], 0, result)
        self.assertEqual(result["output"][-1], "still running", result["output"])
        self.assertEqual(result["killed_reporters"], [], "the reporter did not end by itself")
        self.assertEqual(len(result["uploads"]), uploads, result)
        return result

    def the_hang(self, result, function):
        """The one report of a hang: its dump names the hung thread and the hang code, and the
        collector's stack of that thread names the function it blocks in."""
        upload, = result["uploads"]
        dump, = upload["archive"]["dumps"].values()
        self.assertTrue(dump["valid"])
        self.assertEqual(dump.get("code"), demo.APPLICATION_HANG, dump)
        self.assertEqual(dump["flags"], 0, "a hang is no exception the thread cannot go on from")
        self.assertIsNotNone(result["hung_thread"], result["output"])
        self.assertEqual(dump["thread"], result["hung_thread"])
        annotations = dict(dump["annotations"])
        self.assertEqual(annotations["report-reason"], "application hang")
        self.assertEqual(annotations["hang.thread"], str(result["hung_thread"]))
        self.assertGreaterEqual(int(annotations["hang.milliseconds"]), THRESHOLD_MS)
        report = self.inbox.api("/api/reports/" + os.path.basename(upload["folder"]))
        self.assertEqual(demo.hung_function(report), "HangClient.exe!%s" % function,
                         report["details"]["stack"])

    def test_a_window_blocked_past_the_threshold_gives_one_report_of_where_it_blocks(self):
        result = self.run_client("blocked-window", 1)
        self.the_hang(result, "(anonymous namespace)::BlockTheWindowThread()")
        self.assertIn("the window's thread goes on", result["output"])

    def test_a_heartbeat_thread_that_stops_gives_one_report(self):
        result = self.run_client("stopped-heartbeat", 1)
        self.the_hang(result, "(anonymous namespace)::StopBeating()")

    def test_a_busy_window_that_answers_and_a_paused_block_give_none(self):
        for scenario in ("busy-window", "paused-window"):
            with self.subTest(scenario=scenario):
                self.assertEqual(self.run_client(scenario, 0)["left_in_dumps"], [])


if __name__ == "__main__":
    BUILD_DIR = os.path.abspath(sys.argv.pop(1))
    unittest.main()
