# SPDX-License-Identifier: MIT
"""Debian's chromium, headless, driven by Selenium through chromium-driver,
for the report's tests and benchmark. The browser runs with a new empty
profile and everything that would reach for Google's hosts switched off, so
it works on a machine without a network; as root it needs --no-sandbox."""

import os
import shutil
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

CHROMIUM = "/usr/bin/chromium"
DRIVER = "/usr/bin/chromedriver"


class Browser:
    """A headless chromium with a window of width x height pixels. Use as a
    context manager; the profile directory goes away with it."""

    def __init__(self, width=1280, height=1000):
        self.profile = tempfile.mkdtemp(prefix="vehcan-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for flag in (
            "--headless",
            "--disable-gpu",
            "--disable-background-networking",
            "--disable-component-update",
            "--disable-sync",
            "--disable-default-apps",
            "--disable-extensions",
            "--no-first-run",
            "--no-default-browser-check",
            "--disable-dev-shm-usage",
            f"--user-data-dir={self.profile}",
            f"--window-size={width},{height}",
        ):
            options.add_argument(flag)
        if os.geteuid() == 0:
            options.add_argument("--no-sandbox")
        # The console's messages, errors included, for the tests to read.
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(DRIVER), options=options)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        try:
            self.driver.quit()
        finally:
            shutil.rmtree(self.profile, ignore_errors=True)

    def open(self, path):
        self.driver.get("file://" + os.path.abspath(path))

    def console(self):
        """The console's messages since the last call: [(level, text)]."""
        return [(e["level"], e["message"]) for e in self.driver.get_log("browser")]

    def run(self, script, *args):
        return self.driver.execute_script(script, *args)

    def wait_for(self, script, timeout=30):
        """Waits until the script returns something true; returns it."""
        from selenium.webdriver.support.ui import WebDriverWait

        return WebDriverWait(self.driver, timeout, poll_frequency=0.05).until(
            lambda d: d.execute_script(script)
        )

    def full_screenshot(self, path):
        """A screenshot of the whole page, not only the window's height."""
        height = self.run("return document.documentElement.scrollHeight")
        width = self.run("return document.documentElement.scrollWidth")
        self.driver.set_window_size(max(width, 800), min(max(height, 600), 16000))
        self.driver.save_screenshot(path)
