"""Headless Debian Chromium driven through the system chromedriver, for the
page's tests.  Nothing is downloaded: Selenium Manager is kept offline and
is handed the driver's path."""

import os
import shutil
import time
from typing import Callable, TypeVar

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.remote.webelement import WebElement

CHROMEDRIVER = "/usr/bin/chromedriver"
CHROMIUM = "/usr/bin/chromium"

T = TypeVar("T")


def missing() -> str | None:
    """Why the browser cannot run here, or None."""
    for program in (CHROMEDRIVER, CHROMIUM):
        if shutil.which(program) is None:
            return f"{program} is not installed (tools/bootstrap installs chromium and chromium-driver)"
    return None


class Browser:
    def __init__(self, width: int = 1400, height: int = 1120):
        os.environ["SE_OFFLINE"] = "true"
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                         f"--window-size={width},{height}"):
            options.add_argument(argument)
        self.driver = webdriver.Chrome(options=options, service=Service(CHROMEDRIVER))

    def close(self) -> None:
        self.driver.quit()

    def open(self, url: str) -> None:
        self.driver.get(url)

    def wait_for(self, condition: Callable[[], T], timeout: float = 20, what: str = "the page") -> T:
        """The first true value of `condition`, polled; an element that the
        page redraws under the test counts as not yet there."""
        deadline = time.monotonic() + timeout
        last_error: Exception | None = None
        while time.monotonic() < deadline:
            try:
                value = condition()
                if value:
                    return value
            except Exception as error:  # a redraw between lookup and read
                last_error = error
            time.sleep(0.1)
        raise AssertionError(f"{what} did not come within {timeout} s (last error: {last_error!r})")

    def find(self, css: str) -> list[WebElement]:
        return self.driver.find_elements(By.CSS_SELECTOR, css)

    def text(self, css: str) -> str:
        return "\n".join(element.text for element in self.find(css))

    def script(self, source: str, *args):
        return self.driver.execute_script(source, *args)

    def rows(self) -> list[dict]:
        """The table as drawn: each row's pipe id, texts and badges, read in
        one script call so that a redraw cannot tear it."""
        return self.script("""
            return Array.from(document.querySelectorAll('#rows tr')).map((tr) => ({
              id: tr.dataset.id || null,
              who: tr.querySelector('td.who').innerText,
              input: (tr.querySelector('td.input') || {}).innerText || '',
              output: (tr.querySelector('td.output') || {}).innerText || '',
              badges: Array.from(tr.querySelectorAll('.badge')).map((b) => [b.dataset.state, b.textContent]),
              colours: Array.from(tr.querySelectorAll('.badge')).map((b) => getComputedStyle(b).backgroundColor),
              lines: Array.from(tr.querySelectorAll('svg.spark path')).map((p) => p.getAttribute('d') || ''),
            }));""")

    def type_filter(self, text: str) -> None:
        box = self.find("#filter")[0]
        box.clear()
        box.send_keys(text)

    def screenshot(self, path) -> None:
        self.driver.save_screenshot(str(path))
