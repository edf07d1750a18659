#!/usr/bin/env python3
"""vornctl serve in a real browser: headless Chromium driven by Selenium, inside
the test run's network namespace, against vornsim. Rows appear; a device named
with markup shows it as text; a click selects the device and shows its serial
number; a write is verified, one the device refuses is shown as refused,
different numbers are never sent; a device arrives and leaves without a
reload; the filter and sorting; the server going away and coming back; the
cookie is HttpOnly; the page fits a phone's width.

usage: browser_test.py VORNCTL VORNSIM NETNS_SCRIPT [--screenshots DIR]"""

import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                "testing"))
import processes  # noqa: E402

STAGE = "00000500:00000001"
MONITOR = "00000500:00000002"
FILL = "00000500:00000003"
AMP = "00000500:00000004"
MARKUP = "<img src=x onerror=alert(1)><b>Stage</b>"
DEVICES = [
    f"id={STAGE},type=12,name={MARKUP},address=127.0.0.2,serial=100001",
    f"id={MONITOR},type=10,name=Monitor,address=127.0.0.3,serial=100002",
    f"id={FILL},type=11,name=Fill,address=127.0.0.2,serial=100003",
    f"id={AMP},type=7,name=Amp rack,address=127.0.0.3,serial=55",
]
# The frame list forgets a device 10 to 11 s after its last presence.
REMOVAL = 25


def browser(width, height, profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     f"--window-size={width},{height}", f"--user-data-dir={profile}"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def wait(condition, timeout=10, interval=0.15):
    """The condition's first true value, or None at the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            value = condition()
        except Exception:  # the page is changing under us; look again
            value = None
        if value:
            return value
        if time.monotonic() >= deadline:
            return None
        time.sleep(interval)


def start_serve(vornctl, listen, token_file):
    program = processes.Program([vornctl, "--interface", "127.0.0.1", "serve", "--listen", listen,
                                 "--token-file", token_file], env=processes.environment())
    line = program.next_line(20)
    match = re.fullmatch(r"serving (http://127\.0\.0\.1:(\d+))/\?token=(\S+)", line or "")
    if not match:
        program.process.kill()
        program.finish(10)
        raise RuntimeError(f"vornctl serve printed {line!r}; stderr: {program.errors}")
    return program, match.group(1), match.group(3)


class Page:
    def __init__(self, driver):
        self.driver = driver
        from selenium.webdriver.common.by import By
        self.By = By

    def rows(self):
        return {row.get_attribute("data-device-id"): row
                for row in self.driver.find_elements(self.By.CSS_SELECTOR, "#devices tbody tr")}

    def text(self, selector):
        return self.driver.find_element(self.By.CSS_SELECTOR, selector).text

    def labelled(self, label):
        """The control a screen reader finds by its visible label."""
        element = self.driver.find_element(self.By.XPATH, f"//label[normalize-space()='{label}']")
        return self.driver.find_element(self.By.ID, element.get_attribute("for"))

    def button(self, text):
        return self.driver.find_element(self.By.XPATH, f"//button[normalize-space()='{text}']")

    def type_into(self, label, text):
        field = self.labelled(label)
        field.clear()
        field.send_keys(text)


def run(vornctl, vornsim, screenshots, failures):
    sim = processes.simulator(vornsim, DEVICES)
    sim.send(f"gone {FILL} on")  # it arrives later, while the page is open
    work = tempfile.mkdtemp(prefix="vorn-browser-")
    token_file = os.path.join(work, "token")
    with open(token_file, "w") as file:
        file.write(secrets.token_hex(24) + "\n")
    serve, origin, token = start_serve(vornctl, "127.0.0.1:0", token_file)
    driver = None
    try:
        driver = browser(1280, 860, os.path.join(work, "profile"))
        page = Page(driver)
        driver.get(f"{origin}/?token={token}")
        failures.check(wait(lambda: driver.current_url == origin + "/"),
                       f"the token leaves the address bar: {driver.current_url}")
        cookies = {cookie["name"]: cookie for cookie in driver.get_cookies()}
        cookie_name = "vorn_token_" + origin.rsplit(":", 1)[1]
        failures.check(cookies.get(cookie_name, {}).get("httpOnly") is True,
                       f"the token cookie {cookie_name} is HttpOnly: {cookies}")
        failures.equal(cookies.get(cookie_name, {}).get("sameSite"), "Strict", "cookie SameSite")

        # "Open on another device": the link as a QR code a camera reads back.
        failures.equal(driver.find_element(page.By.ID, "link-panel").is_displayed(), False,
                       "the QR code is hidden until asked for")
        page.button("Open on another device").click()
        image = driver.find_element(page.By.ID, "link-qr")
        failures.check(wait(lambda: driver.execute_script(
            "return arguments[0].complete && arguments[0].naturalWidth", image)),
            "the QR code image loads")
        picture = os.path.join(work, "link-qr.png")
        image.screenshot(picture)
        decoded = subprocess.run(["zbarimg", "--quiet", "--raw", picture], capture_output=True,
                                 text=True, timeout=60).stdout.strip()
        failures.equal(decoded, f"{origin}/?token={token}", "the page's QR code decoded")
        page.button("Open on another device").click()

        # Rows appear, the other product not; the markup of a name stays text.
        rows = wait(lambda: page.rows() if set(page.rows()) == {STAGE, MONITOR} else None)
        failures.check(rows, f"rows of the two present serviced devices: {list(page.rows())}")
        named = wait(lambda: page.rows()[STAGE].find_element(page.By.CSS_SELECTOR, "td.name").text
                     == MARKUP)
        failures.check(named, "the name with markup is shown as text")
        failures.equal(driver.find_elements(page.By.CSS_SELECTOR, "#devices img, #devices b"), [],
                       "no element made from a device name")
        failures.check(wait(lambda: page.text("#device-count") == "2"), "device count 2")
        failures.check("127.0.0.1" in page.text("#interface"), "the interface is shown")

        # A click selects the device (its mark set) and shows its serial number.
        page.rows()[STAGE].click()
        failures.check(wait(lambda: page.text("#current-serial") == "100001"),
                       f"serial number shown: {page.text('#current-serial')!r}")
        failures.check(sim.wait_for(lambda l: l == f"select device={STAGE} mark=ffff", 10),
                       "the selection mark reached the device")

        # Different numbers are never sent.
        page.type_into("New serial number", "5551")
        page.type_into("Repeat serial number", "5552")
        page.button("Set serial").click()
        failures.check(wait(lambda: "differ" in page.text("#serial-result")),
                       f"differing numbers: {page.text('#serial-result')!r}")

        # A write, verified by reading back.
        page.type_into("New serial number", "20261207")
        page.type_into("Repeat serial number", "20261207")
        page.button("Set serial").click()
        failures.check(wait(lambda: "Verified" in page.text("#serial-result"), 20),
                       f"write verified: {page.text('#serial-result')!r}")
        failures.equal(page.text("#current-serial"), "20261207", "the number read back")
        failures.check(sim.wait_for(lambda l: l == f"serial-set device={STAGE} value=20261207", 10),
                       "the device took the number")
        if screenshots:
            take_screenshots(driver, screenshots)

        # The keyboard selects too; a refused write is shown as refused.
        sim.send(f"refuse-writes {MONITOR} on")
        monitor = page.rows()[MONITOR]
        driver.execute_script("arguments[0].focus()", monitor)
        from selenium.webdriver.common.keys import Keys
        monitor.send_keys(Keys.ENTER)
        failures.check(wait(lambda: page.text("#current-serial") == "100002"),
                       "Enter on a row selects it")
        failures.check(sim.wait_for(lambda l: l == f"select device={STAGE} mark=0000", 10),
                       "the previous device's mark was cleared")
        page.type_into("New serial number", "777")
        page.type_into("Repeat serial number", "777")
        page.button("Set serial").click()
        failures.check(wait(lambda: "Refused" in page.text("#serial-result"), 20),
                       f"refused write: {page.text('#serial-result')!r}")

        # A device arrives and another leaves, without a reload.
        marker = driver.execute_script("window.notReloaded = true; return true;")
        sim.send(f"gone {FILL} off")
        failures.check(wait(lambda: FILL in page.rows(), 10), "the arriving device's row")
        failures.check(wait(lambda: page.rows()[FILL].text.startswith("Fill"), 10),
                       "the arriving device is named")
        sim.send(f"gone {MONITOR} on")
        failures.check(wait(lambda: MONITOR not in page.rows(), REMOVAL),
                       "the leaving device's row goes")
        failures.check(marker and driver.execute_script("return window.notReloaded === true"),
                       "the page was not reloaded")

        # The filter and sorting by a header.
        page.type_into("Filter", "fill")
        failures.check(wait(lambda: list(page.rows()) == [FILL]),
                       f"filtered rows: {list(page.rows())}")
        page.labelled("Filter").clear()
        page.labelled("Filter").send_keys(" ")  # an input event with an empty filter
        failures.check(wait(lambda: len(page.rows()) == 2), "all rows again")
        page.button("Name").click()
        failures.check(wait(lambda: list(page.rows()) == [STAGE, FILL]), "sorted by name")
        page.button("Name").click()
        failures.check(wait(lambda: list(page.rows()) == [FILL, STAGE]), "sorted by name, down")

        # Phone width: nothing wider than the screen.
        driver.set_window_size(360, 800)
        width = wait(lambda: driver.execute_script(
            "return document.documentElement.scrollWidth <= window.innerWidth"), 5)
        failures.check(width, "the page fits 360 px")
        driver.set_window_size(1280, 860)

        # The server goes away (status 0 on SIGTERM) and comes back on the same port.
        serve.process.send_signal(signal.SIGTERM)
        failures.equal(serve.finish(30), 0, "vornctl serve's status after SIGTERM")
        failures.check(wait(lambda: "lost" in page.text("#connection").lower(), 10),
                       f"the page says the server is gone: {page.text('#connection')!r}")
        serve, _, _ = start_serve(vornctl, origin[len("http://"):], token_file)
        failures.check(wait(lambda: page.text("#connection") == "Live", 20),
                       f"the page reconnects: {page.text('#connection')!r}")
        failures.check(wait(lambda: set(page.rows()) == {STAGE, FILL}, 15),
                       f"rows after reconnecting: {list(page.rows())}")
        while sim.next_line(0.1) is not None:  # every line vornsim printed so far
            pass
        failures.check(not any("value=555" in line for line in sim.seen),
                       "the differing numbers never reached a device")
    finally:
        if driver:
            driver.quit()
        serve.process.send_signal(signal.SIGTERM)
        serve.finish(30)
        processes.stop_simulator(sim)
        shutil.rmtree(work, ignore_errors=True)


def take_screenshots(driver, directory):
    """The page at desktop and phone width, for the README (taken once two
    pictures in a row are alike, so the layout has settled)."""
    os.makedirs(directory, exist_ok=True)
    for name, width, height in (("serve-desktop.png", 1280, 720), ("serve-phone.png", 390, 844)):
        driver.set_window_size(width, height)
        previous = None
        for _ in range(20):
            picture = driver.get_screenshot_as_png()
            if picture == previous:
                break
            previous = picture
            time.sleep(0.1)
        with open(os.path.join(directory, name), "wb") as file:
            file.write(previous)
    driver.set_window_size(1280, 860)


def main():
    if len(sys.argv) not in (4, 6):
        print(__doc__, file=sys.stderr)
        return 2
    vornctl, vornsim, netns = sys.argv[1:4]
    screenshots = sys.argv[5] if len(sys.argv) == 6 else None
    processes.require_test_namespace(netns)
    for path in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
        if not os.path.exists(path):
            processes.skip(f"{path} is missing (packages chromium, chromium-driver)")
    if not shutil.which("zbarimg"):
        processes.skip("zbarimg is missing (package zbar-tools)")
    try:
        import selenium  # noqa: F401
    except ImportError:
        processes.skip("selenium is missing (package python3-selenium)")
    failures = processes.Failures()
    run(vornctl, vornsim, screenshots, failures)
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
