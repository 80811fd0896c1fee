#!/usr/bin/python3
"""The walkthrough's browser: xdg-open hands it the sign-in address the hub opens.

It loads the address in headless Chromium, writes the code the page shows to page-code, waits for the
walkthrough to write the code the window shows to window-code, and approves only when both are the same
(it denies otherwise). The page it ends on is saved as browser.png; browser-result holds its heading.
Files live in $HVX_E2E_OUT.
"""

import os
import sys
import tempfile
import time
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait

DEADLINE_SECONDS = 60


def wait_for_file(path: Path) -> str:
    deadline = time.monotonic() + DEADLINE_SECONDS
    while time.monotonic() < deadline:
        if path.exists() and path.read_text().strip():
            return path.read_text().strip()
        time.sleep(0.1)
    raise TimeoutError(f"{path.name} did not appear")


def main() -> int:
    out = Path(os.environ["HVX_E2E_OUT"])
    url = sys.argv[1]
    (out / "browser-url").write_text(url + "\n")
    with tempfile.TemporaryDirectory(prefix="halvex-browser-") as profile:
        options = webdriver.ChromeOptions()
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=900,700",
                         "--user-data-dir=" + profile):
            options.add_argument(argument)
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        try:
            driver.get(url)
            page_code = driver.find_element(By.ID, "user-code").text.strip()
            (out / "page-code").write_text(page_code + "\n")
            window_code = wait_for_file(out / "window-code")
            decision = "approve" if window_code == page_code else "deny"
            driver.find_element(By.ID, decision).click()
            result = WebDriverWait(driver, DEADLINE_SECONDS).until(
                expected_conditions.presence_of_element_located((By.ID, "result"))).text.strip()
            (out / "browser-result").write_text(result + "\n")
            driver.save_screenshot(str(out / "browser.png"))
            return 0 if decision == "approve" else 1
        finally:
            driver.quit()


if __name__ == "__main__":
    sys.exit(main())
