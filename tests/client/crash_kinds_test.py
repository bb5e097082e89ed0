#!/usr/bin/python3
"""The one-call client library in real applications under Wine: every crash kind, and the
cases around them, reported by the real reporter to the reference collector, each dump read
back with the stream-directory reader of the dump format.

    crash_kinds_test.py <build dir> [unittest arguments]
"""

import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts"))
import demo  # noqa: E402

BUILD_DIR = None
CLIENT = "CrashKindsClient.exe"
C_CLIENT = "CApiClient.exe"
# Wine hands on only the low byte of an exit code.
OWN_FILTER_EXIT_STATUS = 0x42
ACCESS_VIOLATION = 0xC0000005
WORKER_KINDS = ("null-write", "illegal-instruction", "divide-by-zero", "stack-overflow")
REPORT_REASON = "report-reason"
PTIME = "ptime"
# The slow collector answers this long after an upload; the client gives up after 2 s.
SLOW_ANSWER_SECONDS = 10
# The client's dump time-out in its failing-dump case: a crash bound by it waits at least this.
FAILING_DUMP_TIMEOUT_SECONDS = 20


class SlowCollector(demo.Collector):
    """The reference collector storing each upload at once and answering delay seconds later."""

    def __init__(self, store, delay):  # pylint: disable=super-init-not-called
        self.store = store
        self.process, self.port = demo.start_listening(
            [sys.executable, demo.COLLECTOR, "--host", "127.0.0.1", "--port", "0", "--store", store,
             "--max-seconds", str(demo.COLLECTOR_MAX_SECONDS), "--mode", "slow",
             "--delay", str(delay)])
        self.host = "http://127.0.0.1:%d" % self.port


class ClientTestCase(unittest.TestCase):
    kinds = None

    @classmethod
    def setUpClass(cls):
        # A hang is no crash: hang_test.py covers it.
        cls.kinds = {kind: value for kind, value in demo.crash_kinds(BUILD_DIR).items()
                     if value[0] != demo.APPLICATION_HANG}

    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="crashkinds-")

    def tearDown(self):
        shutil.rmtree(self.work, ignore_errors=True)

    def slow_collector(self, delay):
        collector = SlowCollector(os.path.join(self.work, "slow-store"), delay)
        self.addCleanup(collector.stop)
        return collector

    def run_client(self, *arguments, program=CLIENT, uploads=1, collector=None):
        """Runs the client to its end; checks it neither hung nor left its reporter behind.
        uploads None: as many as there are."""
        name = "Kinds%d%s" % (os.getpid(), "".join(a for a in arguments if a[0] != "-")[:24])
        result = demo.run_demo(BUILD_DIR, os.path.join(self.work, "run"), program=program,
                               extra_arguments=[name] + list(arguments), expected_uploads=uploads,
                               inbox=collector)
        self.assertFalse(result["timed_out"], result)
        self.assertEqual(result["killed_reporters"], [], "the reporter did not end by itself")
        if uploads is not None:
            self.assertEqual(len(result["uploads"]), uploads, result)
        for upload in result["uploads"]:
            self.assertEqual(upload["fields"], {"name": name})
        return result

    def dumps(self, result):
        found = []
        for upload in result["uploads"]:
            archive = upload.get("archive")
            self.assertIsNotNone(archive, "the upload is not a ZIP archive")
            self.assertEqual(len(archive["dumps"]), 1, archive["entries"])
            found.append(next(iter(archive["dumps"].values())))
        return found

    def the_crash(self, result, code):
        """The one report of a crash: its dump names the announced thread and the code."""
        self.assertNotEqual(result["exit_code"], 0, result)
        dump, = self.dumps(result)
        self.assertTrue(dump["valid"])
        self.assertEqual(dump.get("code"), code, "0x%08X" % dump.get("code", 0))
        self.assertIsNotNone(result["crashing_thread"], result["output"])
        self.assertEqual(dump["thread"], result["crashing_thread"])
        return dump

    def asked_and_crashed(self, result):
        """The dumps of a run that asked for one report and then crashed."""
        dumps = self.dumps(result)
        asked = [d for d in dumps if "code" not in d]
        crashed = [d for d in dumps if d.get("code") == ACCESS_VIOLATION]
        self.assertEqual((len(asked), len(crashed)), (1, 1), dumps)
        self.assertEqual(crashed[0]["thread"], result["crashing_thread"])
        return asked[0], crashed[0]

    def annotations(self, dump):
        entries = dump.get("annotations")
        self.assertIsNotNone(entries, "no annotation stream")
        self.assertEqual(entries[-1][0], PTIME, entries)
        return dict(entries)


class CrashKindsTest(ClientTestCase):
    def test_every_kind_is_reported_with_its_code_and_thread(self):
        for kind, (code, _) in self.kinds.items():
            with self.subTest(kind=kind):
                dump = self.the_crash(self.run_client(kind), code)
                entries = self.annotations(dump)
                self.assertEqual(entries["scenario"], kind)
                if kind == "uncaught-exception":
                    self.assertEqual(entries["exception-type"], "std::runtime_error")
                    self.assertEqual(entries["exception-message"], "nobody catches this")

    def test_faults_on_a_worker_thread_name_the_worker(self):
        for kind in WORKER_KINDS:
            with self.subTest(kind=kind):
                result = self.run_client(kind, "--worker")
                self.the_crash(result, self.kinds[kind][0])


class ClientCasesTest(ClientTestCase):
    def test_a_crash_before_the_registration_waits_for_it(self):
        result = self.run_client("before-registration")
        self.assertIn("registration now: Pending", result["output"])
        self.the_crash(result, ACCESS_VIOLATION)

    def test_threads_crashing_together_make_one_report(self):
        result = self.run_client("two-threads")
        threads = {int(line.split()[2].rstrip(":")) for line in result["output"]
                   if line.startswith("crashing thread ")}
        self.assertEqual(len(threads), 2, result["output"])
        dump, = self.dumps(result)
        self.assertEqual(dump["code"], ACCESS_VIOLATION)
        self.assertIn(dump["thread"], threads)

    def test_a_filter_set_by_other_code_does_not_switch_reporting_off(self):
        result = self.run_client("hijacked-filter")
        self.assertIn("filter replaced twice, both calls returned the filter in force",
                      result["output"])
        self.the_crash(result, ACCESS_VIOLATION)
        self.assertNotIn("foreign filter called", result["output"])

    def test_report_now_reports_and_the_application_goes_on(self):
        result = self.run_client("report-now", uploads=2)
        self.assertEqual(result["exit_code"], 0, result)
        self.assertEqual(result["output"][-3:],
                         ["report 1: Done", "report 2: Done", "still running"])
        dumps = self.dumps(result)
        for dump in dumps:
            self.assertNotIn("code", dump, "a report without an exception")
        seen = sorted((self.annotations(d)["step"], self.annotations(d)[REPORT_REASON])
                      for d in dumps)
        self.assertEqual(seen, [("first", "first check"), ("second", "second check")])

    def test_annotations_reach_the_report_whole(self):
        result = self.run_client("annotations")
        dump = self.the_crash(result, ACCESS_VIOLATION)
        entries = self.annotations(dump)
        self.assertEqual(entries["scenario"], "annotations")
        self.assertEqual(entries["user"], "someone")
        self.assertEqual(entries["document"], "final.txt")
        self.assertNotIn("temporary", entries)
        self.assertEqual(entries["long"], "L" * 63)
        self.assertEqual(entries["unicode"], "\u00e9t\u00e9 \u6771\u4eac")
        self.assertNotIn(REPORT_REASON, entries)
        self.assertGreaterEqual(int(entries[PTIME]), 0)
        # Written all the time by two threads while the main thread crashed: each value is
        # one whole write, a run of one letter.
        for busy in ("busy-1", "busy-2"):
            self.assertIn(busy, entries)
            value = entries[busy]
            self.assertTrue(1 <= len(value) <= 60 and len(set(value)) == 1, (busy, value))

    def test_uninstall_gives_the_crash_back_to_the_filter_before(self):
        result = self.run_client("uninstall", uploads=0)
        self.assertIn("uninstalled; the filter from before is back", result["output"])
        self.assertEqual(result["output"][-1], "own filter called")
        self.assertEqual(result["exit_code"], OWN_FILTER_EXIT_STATUS)

    def test_uninstall_leaves_the_filter_asked_for_while_installed(self):
        result = self.run_client("hijack-then-uninstall", uploads=0)
        self.assertIn("uninstalled; the filter asked for while installed is in place",
                      result["output"])
        self.assertEqual(result["output"][-1], "own filter called")
        self.assertEqual(result["exit_code"], OWN_FILTER_EXIT_STATUS)

    def test_a_crash_after_a_timed_out_report_gets_its_own_report(self):
        collector = self.slow_collector(SLOW_ANSWER_SECONDS)
        result = self.run_client("report-now-timed-out-then-crash", uploads=2,
                                 collector=collector)
        self.assertIn("report now: TimedOut", result["output"])
        self.assertEqual(result["exit_code"], ACCESS_VIOLATION & 0xFF)
        asked, crashed = self.asked_and_crashed(result)
        self.assertEqual(self.annotations(asked)[REPORT_REASON], "before the crash")
        self.assertNotIn(REPORT_REASON, self.annotations(crashed))

    def test_a_dump_that_fails_is_told_to_the_application_at_once(self):
        started = time.monotonic()
        result = self.run_client("failing-dump", uploads=0)
        elapsed = time.monotonic() - started - result["reporter_exit_seconds"]
        # A time-out could only come after 20 s: Failed is the reporter's word.
        self.assertIn("report now: Failed", result["output"])
        self.assertIsNotNone(result["crashing_thread"], result["output"])
        self.assertEqual(result["exit_code"], ACCESS_VIOLATION & 0xFF)
        # The crash's bound is two dump time-outs and more; told of the failure, it waits
        # for none of them.
        self.assertLess(elapsed, FAILING_DUMP_TIMEOUT_SECONDS, result)

    def test_reports_asked_for_together_each_carry_their_own_reason(self):
        result = self.run_client("reports-at-once", uploads=2)
        self.assertEqual(result["exit_code"], 0, result)
        self.assertIn("reason one: Done", result["output"])
        self.assertIn("reason two: Done", result["output"])
        reasons = sorted(self.annotations(d).get(REPORT_REASON, "") for d in self.dumps(result))
        self.assertEqual(reasons, ["reason one", "reason two"])

    def test_every_entry_point_outlives_an_uninstall_on_another_thread(self):
        collector = self.slow_collector(3)
        result = self.run_client("uninstall-under-use", uploads=None, collector=collector)
        self.assertEqual(result["exit_code"], 0, result)
        self.assertIn("uninstalled while in use", result["output"])
        self.assertIn("installed again: None", result["output"])
        self.assertEqual(result["output"][-1], "every thread came back")
        for dump in self.dumps(result):
            self.assertEqual(self.annotations(dump)[REPORT_REASON], "under use")

    def test_a_crash_inside_the_handling_ends_the_process(self):
        result = self.run_client("handler-crash", uploads=0)
        self.assertIn("the crash callback writes through a null pointer", result["output"])
        self.assertNotEqual(result["exit_code"], 0)

    def test_a_c_program_reports_through_the_dll_alone(self):
        result = self.run_client(program=C_CLIENT, uploads=2)
        self.assertTrue(result["output"][0].startswith("install: 0,"), result["output"])
        self.assertIn("report now: 0", result["output"])
        self.assertIn("heartbeat: 1", result["output"])
        asked, crashed = self.asked_and_crashed(result)
        self.assertEqual(self.annotations(asked)[REPORT_REASON], "asked from C")
        self.assertEqual(self.annotations(crashed)["language"], "C")


if __name__ == "__main__":
    BUILD_DIR = sys.argv.pop(1)
    unittest.main(verbosity=2)
