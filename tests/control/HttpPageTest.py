"""The control page in a real browser: headless Chromium driven by Selenium loads the page of
the real cadentor-run, is asked for the token once and keeps it, sees the rows change colour
as the show runs, and pauses the show with the button.

usage: /usr/bin/python3 HttpPageTest.py CADENTOR_RUN   (exits 77, skipped, without Selenium
or Chromium)
"""

import os
import shutil
import sys
import tempfile
import unittest

import ControlShow
from ControlShow import Show

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None

PENDING, DONE = "rgba(255, 255, 255, 1)", "rgba(204, 204, 255, 1)"


class Page(unittest.TestCase):
    def setUp(self):
        # E0 soon, the others from 8 s on: the page sees them Pending first.
        sequence = "0:1 E0\n" + "".join(f"0:{7 + k * 0.5:.1f} E{k}\n" for k in range(1, 8))
        self.show = Show(["--control", "127.0.0.1:0", "--control-token", "{d}/token"],
                         sequence=sequence + "30:0 Far\n", token="page-token")
        # Chromium leaves its singleton socket in TMPDIR: one of the test's, removed after.
        self.scratch = tempfile.TemporaryDirectory(prefix="cadentor-browser-")
        os.environ["TMPDIR"] = self.scratch.name
        options = webdriver.ChromeOptions()
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                         "--window-size=390,844"):  # a phone's screen
            options.add_argument(argument)
        options.binary_location = shutil.which("chromium")
        self.browser = webdriver.Chrome(service=Service(shutil.which("chromedriver")),
                                        options=options)
        self.browser.set_page_load_timeout(30)
        self.wait = WebDriverWait(self.browser, 20, poll_frequency=0.05)

    def tearDown(self):
        self.browser.quit()
        self.show.finish()
        self.scratch.cleanup()

    def colour(self, index):
        row = self.browser.find_element(By.ID, f"row-{index}")
        return row.value_of_css_property("background-color")

    def test_rows_follow_the_show_and_the_button_pauses_it(self):
        host, port = self.show.http
        self.browser.get(f"http://{host}:{port}/")
        login = self.browser.find_element(By.ID, "login")
        self.wait.until(lambda b: login.is_displayed())
        self.browser.find_element(By.ID, "token").send_keys("page-token")
        login.find_element(By.TAG_NAME, "button").click()

        self.wait.until(lambda b: b.find_elements(By.ID, "row-8"))
        self.assertEqual(self.colour(7), PENDING)
        self.wait.until(lambda b: self.colour(0) == DONE)
        self.wait.until(lambda b: self.colour(7) == DONE)
        self.wait.until(lambda b: "current" in
                        b.find_element(By.ID, "row-7").get_attribute("class"))
        self.assertEqual(self.colour(8), PENDING)
        self.assertNotIn("current", self.browser.find_element(By.ID, "row-6").get_attribute("class"))

        self.browser.find_element(By.ID, "pause").click()
        self.wait.until(lambda b: b.find_element(By.ID, "state").text.lower() == "paused")
        self.assertEqual(self.show.status()["state"], "paused")
        commands = [b.text for b in self.browser.find_elements(By.CSS_SELECTOR, "#commands .fire")]
        self.assertIn("Spare", commands)

        # The token is kept: a new load of the page asks for none.
        self.browser.refresh()
        self.wait.until(lambda b: b.find_elements(By.ID, "row-8"))
        self.assertFalse(self.browser.find_element(By.ID, "login").is_displayed())
        self.wait.until(lambda b: self.colour(0) == DONE)


if __name__ == "__main__":
    ControlShow.RUNNER = sys.argv.pop(1)
    if webdriver is None or not shutil.which("chromium") or not shutil.which("chromedriver"):
        print("skipped: needs python3-selenium, chromium and chromium-driver")
        sys.exit(77)
    unittest.main(verbosity=2)
