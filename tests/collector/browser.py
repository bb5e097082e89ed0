"""Headless Chromium driven through chromedriver, for tests and the README's screenshot."""

import shutil
import tempfile
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service as DriverService

CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"
WINDOW = "1200,1600"


def start_browser(user_data_dir=None):
    """A fresh headless browser; the caller quits it. Runs as root, hence --no-sandbox."""
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                 "--disable-background-networking", "--disable-component-update",
                 "--no-first-run", "--disable-sync", "--window-size=" + WINDOW,
                 "--user-data-dir=" + (user_data_dir or tempfile.mkdtemp(prefix="chromium-"))):
        options.add_argument(flag)
    return webdriver.Chrome(service=DriverService(CHROMEDRIVER), options=options)


class BrowserCase(unittest.TestCase):
    """Pages of a collector the class started (cls.service, in cls.work) read in one browser
    (cls.browser); all three go when the class is done."""

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()
        cls.service.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def open(self, path):
        self.browser.get(self.service.host + path)
        return self.browser
