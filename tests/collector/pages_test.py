#!/usr/bin/python3
"""The triage pages in headless Chromium after real uploads of synthetic dumps: the group
list with its charts and filters, a group's versions, chart and state, resolving from the
page and the regression that follows. Screenshots go to /tmp, and also to the folder named by
COLLECTOR_SCREENSHOTS when set (the README's come from there).

usage: pages_test.py
"""

import os
import sys
import tempfile
import time
import unittest

from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

import minidump_builder as mb
from browser import BrowserCase, start_browser
from support import BACKEND, Service, zip_of, postgres

from crashinbox.database import open_database

ADMIN = "admin-token-for-pages"
NO_LLDB = ("--lldb", "/bin/false")
DAY = 86400
LONG_APP = "AVeryLongApplicationNameThatMustWrapInsideItsCell" * 2
# (application, version, code, address, days ago)
UPLOADS = ([("Editor", (2, 4, 0, 0), 0xC0000005, 0x00401100, d) for d in (0, 0, 1, 3, 3, 3, 8)] +
           [("Editor", (2, 5, 0, 0), 0xC0000005, 0x00401100, d) for d in (0, 1)] +
           [("Editor", (2, 5, 0, 0), 0xC0000094, 0x00402200, d) for d in (0, 2, 2)] +
           [("Viewer", (1, 0, 0, 0), mb.HANG, mb.SYSTEM_BASE + 0x9F3A4, d) for d in (0, 5)] +
           [(LONG_APP, (10, 0, 0, 0), 0xC00000FD, 0x00403300, 12)])
SHOTS = "/tmp"


HANG_NOTES = [("hang.milliseconds", "5000"), ("hang.thread", "200")]


def crash(version, code, address):
    notes = HANG_NOTES if code == mb.HANG else None
    return zip_of([("a.dmp", mb.app_dump(version, code, address, notes))])


class TriagePages(BrowserCase):
    extra = []  # uploads a test made after the others
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="collector-pages-")
        tokens = os.path.join(cls.work, "tokens")
        with open(tokens, "w") as f:
            f.write("admin %s\n" % ADMIN)
        store = os.path.join(cls.work, "store")
        cls.service = Service(store, options=NO_LLDB + ("--tokens", tokens))
        try:
            cls.ids = [cls.service.stored_id(cls.service.upload(crash(v, code, address),
                                                                name=app,
                                                                timeout=60))
                       for app, v, code, address, _ in UPLOADS]
            for upload_id in cls.ids:
                cls.service.wait_report(upload_id, headers={"Authorization": "Bearer " + ADMIN})
            cls.backdate(store)
            cls.browser = start_browser(os.path.join(cls.work, "chromium"))
            cls.browser.get(cls.service.host + "/?token=" + ADMIN)  # the cookie from here on
        except BaseException:
            cls.service.stop()
            raise

    @classmethod
    def backdate(cls, store):
        """As if the reports had arrived over the past days: each by its days ago."""
        url = postgres.server().database(os.path.abspath(store)) \
            if BACKEND == "postgresql" else None
        database = open_database(url, os.path.join(store, "index.sqlite"))
        try:
            with database.transaction() as cursor:
                for upload_id, upload in zip(cls.ids, UPLOADS):
                    cursor.execute("UPDATE reports SET received=received-? WHERE id=?",
                                   (upload[4] * DAY, upload_id))
        finally:
            database.close()

    def click(self, element):
        """Clicks element and waits for the page it leads to."""
        self.browser.execute_script("window.leaving = true")  # gone with the page
        element.click()
        WebDriverWait(self.browser, 30).until(lambda b: b.execute_script(
            "return window.leaving === undefined && document.readyState === 'complete'"))
        return self.browser

    def screenshot(self, name):
        """The whole page, as tall as it is."""
        def viewport(height):
            self.browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride", {
                "width": 1200, "height": height, "deviceScaleFactor": 1, "mobile": False})
        viewport(200)
        viewport(self.browser.execute_script("return document.documentElement.scrollHeight"))
        for folder in filter(None, (SHOTS, os.environ.get("COLLECTOR_SCREENSHOTS"))):
            self.browser.save_screenshot(os.path.join(folder, "collector-%s.png" % name))
        self.browser.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

    def assert_fits_the_width(self):
        overflow = self.browser.execute_script(
            "return document.documentElement.scrollWidth - document.documentElement.clientWidth")
        self.assertLessEqual(overflow, 0)

    def bars(self, svg):
        """{"YYYY-MM-DD": count} of a chart's bars, from their titles."""
        titles = [t.get_attribute("textContent") for t in svg.find_elements(By.TAG_NAME, "title")]
        return dict((day, int(n)) for day, n in (t.split(": ") for t in titles))

    def day(self, ago):
        return time.strftime("%Y-%m-%d", time.gmtime(time.time() - ago * DAY))

    def group_row(self, page, text):
        rows = [r for r in page.find_elements(By.CSS_SELECTOR, "#groups tr.group")
                if text in r.text]
        self.assertEqual(len(rows), 1, text)
        return rows[0]

    def test_the_group_list_charts_the_inbox_and_each_group_by_day(self):
        page = self.open("/?order=count")
        chart = page.find_element(By.CSS_SELECTOR, "#inbox-chart svg")
        bars = self.bars(chart)
        self.assertEqual(len(bars), 30)
        expected = {}
        for upload in UPLOADS + self.extra:
            expected[self.day(upload[4])] = expected.get(self.day(upload[4]), 0) + 1
        self.assertEqual({d: n for d, n in bars.items() if n}, expected)
        self.assertEqual(chart.size["width"], 600)  # drawn by the server: no script needed
        row = self.group_row(page, "0xC0000005 app.exe+0x1100")
        self.assertEqual(row.find_element(By.CSS_SELECTOR, "td.count").text,
                         str(9 + len(self.extra)))
        spark = self.bars(row.find_element(By.CSS_SELECTOR, "svg.spark"))
        self.assertEqual((spark[self.day(0)], spark[self.day(3)], spark[self.day(8)]),
                         (3 + len(self.extra), 3, 1))
        hang = self.group_row(page, "hang ntdll.dll+0x9F3A4")
        self.assertIn("new in 1.0.0.0", hang.text)
        self.assert_fits_the_width()
        self.screenshot("groups")

    def test_the_filtered_list_holds_only_what_the_filter_lets_through(self):
        page = self.open("/")
        Select(page.find_element(By.CSS_SELECTOR, "#filters select[name=app]")) \
            .select_by_visible_text("Editor")
        page.find_element(By.CSS_SELECTOR, "#filters input[name=version]").send_keys("2.5.0.0")
        self.click(page.find_element(By.CSS_SELECTOR, "#filters button"))
        self.assertIn("app=Editor", page.current_url)
        rows = page.find_elements(By.CSS_SELECTOR, "#groups tr.group")
        self.assertEqual(sorted((r.find_element(By.CSS_SELECTOR, "td.count").text,
                                 r.find_element(By.CSS_SELECTOR, "td.signature").text)
                                for r in rows),
                         [("2", "0xC0000005 app.exe+0x1100"), ("3", "0xC0000094 app.exe+0x2200")])
        self.assertEqual(sum(self.bars(page.find_element(By.CSS_SELECTOR,
                                                         "#inbox-chart svg")).values()), 5)
        self.screenshot("filtered")
        page.find_element(By.CSS_SELECTOR, "#filters input[name=q]").send_keys("nothing such")
        self.click(page.find_element(By.CSS_SELECTOR, "#filters button"))
        self.assertIn("No crash reports match", page.find_element(By.ID, "groups").text)

    def test_a_group_page_shows_versions_chart_and_state_and_resolves(self):
        page = self.open("/?q=0x1100")
        self.click(self.group_row(page, "app.exe+0x1100").find_element(By.CSS_SELECTOR,
                                                                        "td.signature a"))
        versions = [[c.text for c in r.find_elements(By.TAG_NAME, "td")]
                    for r in page.find_elements(By.CSS_SELECTOR, "#versions tr.version")]
        self.assertEqual([v[:2] for v in versions], [["2.5.0.0", "2"], ["2.4.0.0", "7"]])
        self.assertEqual(versions[1][4], "new")
        self.assertEqual(sum(self.bars(page.find_element(By.CSS_SELECTOR,
                                                         "#group-chart svg")).values()), 9)
        self.assertEqual(len(page.find_elements(By.CSS_SELECTOR, "#reports tr.report")), 9)
        # The versions link to the reports of one version.
        self.click(page.find_element(By.LINK_TEXT, "2.5.0.0"))
        self.assertEqual(len(page.find_elements(By.CSS_SELECTOR, "#reports tr.report")), 2)
        # Resolved in 2.5 from the page; 2.6 brings it back.
        field = page.find_element(By.CSS_SELECTOR, "#state-form input[name=version]")
        field.clear()
        field.send_keys("2.5")
        self.click(page.find_element(By.CSS_SELECTOR, "#state-form button"))
        self.assertIn("resolved in 2.5", page.find_element(By.ID, "group-state").text)
        group = page.current_url.rsplit("/", 1)[-1]
        upload_id = self.service.stored_id(self.service.upload(
            crash((2, 6, 0, 0), 0xC0000005, 0x00401100), name="Editor"))
        self.extra.append(("Editor", (2, 6, 0, 0), 0xC0000005, 0x00401100, 0))
        self.service.wait_report(upload_id, headers={"Authorization": "Bearer " + ADMIN})
        page = self.open("/groups/" + group)
        self.assertIn("regressed in 2.6.0.0", page.find_element(By.ID, "group-state").text)
        self.assertEqual([r.find_elements(By.TAG_NAME, "td")[4].text
                          for r in page.find_elements(By.CSS_SELECTOR, "#versions tr.version")
                          ][0], "regressed")
        self.assert_fits_the_width()
        self.screenshot("group")

    def test_a_hang_reads_as_an_application_hang(self):
        page = self.open("/reports/" + self.ids[12])
        self.assertIn("application hang", page.find_element(By.ID, "exception-code").text)
        self.assertEqual(page.find_element(By.ID, "hang-time").text, "5000 ms")
        self.assertEqual(page.find_element(By.ID, "version").text, "1.0.0.0")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
