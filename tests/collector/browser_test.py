#!/usr/bin/python3
"""The collector's pages in a real browser after real uploads: CrashDemo.exe and the reporter
under Wine upload to the collector service (the build's bin modules uploaded as its symbols), and
headless Chromium reads the group list and the report page, also of a report processed again
when its symbols arrive after it.

usage: browser_test.py <build dir>
"""

import os
import struct
import sys
import tempfile
import time
import unittest
import zipfile

from selenium.webdriver.common.by import By

import minidump_builder as mb
from browser import BrowserCase, start_browser
from support import Service, demo, zip_of

BUILD_DIR = None
CRASHING_FUNCTION = "WriteThroughNullPointer()"
DEMO_RUNS = 2
ANNOTATIONS = [("build", "demo-1.0"), ("ptime", "4711")]
DIRECTORY_AT = 12
ENTRY = struct.Struct("<III")
SYMBOLS_SECONDS = 120


def with_annotations(dump, pairs):
    """A real dump with an annotations stream of ours appended: its directory entry replaces
    the reporter's own annotations entry, or else takes an unused one."""
    data = bytearray(dump)
    count, directory = struct.unpack_from("<II", data, 8)
    kinds = [ENTRY.unpack_from(data, directory + i * ENTRY.size)[0] for i in range(count)]
    slot = kinds.index(mb.ANNOTATIONS) if mb.ANNOTATIONS in kinds else kinds.index(0)
    stream = mb.annotations_stream(pairs)
    ENTRY.pack_into(data, directory + slot * ENTRY.size, mb.ANNOTATIONS, len(stream), len(data))
    return bytes(data + stream)


class PagesInABrowser(BrowserCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="collector-browser-")
        cls.service = Service(os.path.join(cls.work, "inbox"),
                              symbols=os.path.join(BUILD_DIR, "bin"))
        cls.name = "BrowserTest%d" % os.getpid()
        try:
            cls.results = [demo.run_demo(BUILD_DIR, os.path.join(cls.work, "run%d" % n),
                                         name=cls.name, inbox=cls.service)
                           for n in range(DEMO_RUNS)]
            cls.annotated = cls.upload_with_annotations(cls.results[0])
            cls.browser = start_browser(os.path.join(cls.work, "chromium"))
        except BaseException:
            cls.service.stop()  # tearDownClass does not run after a failed setUpClass
            raise

    @classmethod
    def upload_with_annotations(cls, result):
        """The first run's archive again, its dump carrying annotations: a third report of
        the same crash."""
        if not demo.succeeded(result):
            return None
        with zipfile.ZipFile(result["uploads"][0]["file"]) as archive:
            entries = [(i.filename, archive.read(i)) for i in archive.infolist()]
        entries = [(n, with_annotations(d, ANNOTATIONS) if n.endswith(".dmp") else d)
                   for n, d in entries]
        upload_id = cls.service.stored_id(cls.service.upload(zip_of(entries), name=cls.name))
        cls.service.wait_report(upload_id)
        return upload_id

    def real_upload(self, run=0):
        result = self.results[run]
        self.assertTrue(demo.succeeded(result), result)
        return result["uploads"][0]

    def test_the_group_list_shows_the_crash_with_its_count(self):
        for run in range(DEMO_RUNS):
            self.real_upload(run)
        page = self.open("/?order=count")
        rows = page.find_elements(By.CSS_SELECTOR, "#groups tr.group")
        ours = [r for r in rows if self.name in r.text]
        self.assertEqual(len(ours), 1, [r.text for r in rows])
        cells = ours[0].find_elements(By.TAG_NAME, "td")
        self.assertEqual(cells[0].text, str(DEMO_RUNS + 1))  # with the annotated copy
        self.assertIn("0xC0000005 CrashDemo.exe!", cells[1].text)
        self.assertIn(CRASHING_FUNCTION, cells[1].text)
        cells[1].find_element(By.TAG_NAME, "a").click()
        self.assertEqual(len(page.find_elements(By.CSS_SELECTOR, "#reports tr.report")),
                         DEMO_RUNS + 1)

    def test_the_report_page_shows_screenshot_exception_module_and_function(self):
        upload = self.real_upload()
        bitmap = next(iter(upload["archive"]["bitmaps"].values()))  # read back by demo.py
        dump = next(iter(upload["archive"]["dumps"].values()))
        page = self.open("/reports/" + os.path.basename(upload["folder"]))
        image = page.find_element(By.ID, "screenshot")
        natural = page.execute_script(
            "const i = arguments[0]; return i.complete ? [i.naturalWidth, i.naturalHeight] : null",
            image)
        self.assertEqual(natural, [bitmap["width"], bitmap["height"]])
        self.assertIn("0x%08X" % dump["code"], page.find_element(By.ID, "exception-code").text)
        self.assertIn("access violation", page.find_element(By.ID, "exception-code").text)
        self.assertTrue(page.find_element(By.ID, "faulting-module").text
                        .startswith("CrashDemo.exe + 0x"))
        functions = [e.text for e in page.find_elements(By.CSS_SELECTOR, "#stack td.function")]
        self.assertIn(CRASHING_FUNCTION, functions[0])
        entries = page.find_element(By.ID, "files").text
        for name, _, _ in upload["archive"]["entries"]:
            self.assertIn(name, entries)

    def test_annotations_of_a_dump_that_carries_them_are_shown(self):
        self.real_upload()
        report = self.service.get_json("/api/reports/" + self.annotated)
        self.assertEqual(report["state"], "processed", report)
        page = self.open("/reports/" + self.annotated)
        rows = [r.text for r in page.find_elements(By.CSS_SELECTOR, "#annotations tr")][1:]
        self.assertEqual(rows, ["%s %s" % pair for pair in ANNOTATIONS])
        self.assertIn(CRASHING_FUNCTION, page.find_element(By.ID, "stack").text)

    def test_without_symbols_module_offsets_and_once_they_arrive_the_function(self):
        upload = self.real_upload()
        plain = Service(os.path.join(self.work, "plain"))
        try:
            with open(upload["file"], "rb") as archive:
                upload_id = plain.stored_id(plain.upload(archive.read(), name=self.name))
            report = plain.wait_report(upload_id)
            exception = report["details"]["dump"]["exception"]
            self.assertEqual(report["signature"], "0x%08X %s+0x%X" % (
                exception["code"], "CrashDemo.exe", exception["offset"]))
            top = report["details"]["stack"]["frames"][0]
            self.assertEqual((top["module"], top["offset"], top["function"]),
                             ("CrashDemo.exe", exception["offset"], None))
            # The build's symbols arrive: the same report is processed again.
            plain.upload_symbols(os.path.join(BUILD_DIR, "bin"))
            deadline = time.monotonic() + SYMBOLS_SECONDS
            while CRASHING_FUNCTION not in (plain.get_json("/api/reports/" + upload_id)
                                            ["signature"] or ""):
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.2)
            self.browser.get("%s/reports/%s" % (plain.host, upload_id))
            functions = [e.text for e in self.browser.find_elements(By.CSS_SELECTOR,
                                                                    "#stack td.function")]
            self.assertIn(CRASHING_FUNCTION, functions[0])
            groups = plain.get_json("/api/groups")
            self.assertEqual([g["count"] for g in groups
                              if CRASHING_FUNCTION in g["signature"]], [1])
            self.assertFalse([g for g in groups if "CrashDemo.exe+0x" in g["signature"]])
        finally:
            plain.stop()

if __name__ == "__main__":
    BUILD_DIR = os.path.abspath(sys.argv[1])
    unittest.main(argv=sys.argv[:1], verbosity=2)
