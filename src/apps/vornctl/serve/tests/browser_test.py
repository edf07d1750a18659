#!/usr/bin/env python3
"""vornctl serve in a real browser: headless Chromium driven by Selenium, inside
the test run's network namespace, against vornsim. Rows appear; a device named
with markup shows it as text; a click selects the device and shows its serial
number; a write is verified, one the device refuses is shown as refused,
different numbers are never sent; a number another device holds is refused
naming it and written on "Write anyway" (the page decides by the answers' codes:
it does the same with their texts changed); the device's history; a device
arrives and leaves without a reload; the filter and sorting (aria-sort); the
server going away and coming back; the cookie is HttpOnly. The page fits a
phone's width, its controls are at least 24 px, names break between words,
the layout does not shift while devices arrive, nothing is logged as an error
on the console, and axe-core finds no WCAG 2.1 A/AA violation in any state
reached, light and dark, at 1280 and 360 px.

usage: browser_test.py VORNCTL VORNSIM NETNS_SCRIPT --axe AXE_MIN_JS [--screenshots DIR]"""

import argparse
import base64
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
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "..",
                                "..", "tools", "testing"))
import processes  # noqa: E402

STAGE = "00000500:00000001"
MONITOR = "00000500:00000002"
FILL = "00000500:00000003"
AMP = "00000500:00000004"
MARKUP = "<img src=x onerror=alert(1)><b>Stage</b>"
MONITOR_NAME = "Monitor wedge 3"
DEVICES = [
    f"id={STAGE},type=12,name={MARKUP},address=127.0.0.2,serial=100001",
    f"id={MONITOR},type=10,name={MONITOR_NAME},address=127.0.0.3,serial=100002",
    f"id={FILL},type=11,name=Fill,address=127.0.0.2,serial=100003",
    f"id={AMP},type=7,name=Amp rack,address=127.0.0.3,serial=55",
]
# The frame list forgets a device 10 to 11 s after its last presence.
REMOVAL = 25
AXE_TAGS = ["wcag2a", "wcag2aa", "wcag21a", "wcag21aa"]
# Layout shift as the page's user feels it: good below 0.1.
SHIFT_LIMIT = 0.1


# Rewrites every text ("error", "detail") of the answers to serial writes.
CHANGED_PROSE = """
const original = window.fetch;
window.fetch = async (path, init) => {
  const response = await original(path, init);
  if (!init || init.method !== 'PUT' || !String(path).endsWith('/serial')) return response;
  const body = await response.clone().json().catch(() => null);
  if (!body) return response;
  for (const key of ['error', 'detail']) if (key in body) body[key] = 'the texts were changed';
  return new Response(JSON.stringify(body),
                      {status: response.status, headers: response.headers});
};
"""


def browser(width, height, profile, extra=()):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     f"--window-size={width},{height}", f"--user-data-dir={profile}", *extra):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    # Every layout shift from the first paint on (not those right after an input).
    driver.execute_cdp_cmd("Page.addScriptToEvaluateOnNewDocument", {"source": """
        window.layoutShifts = [];
        new PerformanceObserver((list) => {
          for (const entry of list.getEntries())
            if (!entry.hadRecentInput) window.layoutShifts.push(entry.value);
        }).observe({type: 'layout-shift', buffered: true});"""})
    return driver


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


def private_token_file(folder):
    """A new token file in `folder`, readable by its owner only (serve refuses one that others
    may read); its path."""
    token_file = os.path.join(folder, "token")
    with os.fdopen(os.open(token_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as file:
        file.write(secrets.token_hex(24) + "\n")
    return token_file


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
    def __init__(self, driver, axe_source, failures):
        self.driver = driver
        from selenium.webdriver.common.by import By
        self.By = By
        self.axe_source = axe_source
        self.failures = failures
        self.audits = 0

    def scheme(self, dark):
        self.driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": [
            {"name": "prefers-color-scheme", "value": "dark" if dark else "light"}]})

    def settle(self):
        """Waits until two pictures in a row are alike (the layout has settled)."""
        previous = None
        for _ in range(20):
            picture = self.driver.get_screenshot_as_png()
            if picture == previous:
                return picture
            previous = picture
            time.sleep(0.1)
        return previous

    def audit(self, state):
        """axe-core's WCAG 2.1 A/AA rules on the page as it is, light and dark, at
        1280 and 360 px; then back to 1280 px, light. Also checks at 360 px that
        the page fits, every control is at least 24 by 24 px and no name
        breaks inside a word."""
        for width, height in ((1280, 860), (360, 800)):
            self.driver.set_window_size(width, height)
            for dark in (False, True):
                self.scheme(dark)
                self.settle()
                where = f"{state}, {width} px, {'dark' if dark else 'light'}"
                result = self.driver.execute_async_script(self.axe_source + """
                    const done = arguments[arguments.length - 1];
                    axe.run(document, {runOnly: {type: 'tag', values: arguments[0]}})
                      .then((result) => done({violations: result.violations.map((v) => ({
                               id: v.id, nodes: v.nodes.map((n) => n.target.join(' '))})),
                             passes: result.passes.length}))
                      .catch((error) => done({error: String(error)}));""", AXE_TAGS)
                self.audits += 1
                self.failures.check(result and "error" not in result and result["passes"] > 0,
                                    f"axe-core ran ({where}): {result}")
                self.failures.equal((result or {}).get("violations"), [],
                                    f"axe-core violations ({where})")
            if width == 360:
                self.check_phone(state)
        self.scheme(False)
        self.driver.set_window_size(1280, 860)

    def check_phone(self, state):
        fits = wait(lambda: self.driver.execute_script(
            "return document.documentElement.scrollWidth <= window.innerWidth"), 5)
        self.failures.check(fits, f"the page fits 360 px ({state})")
        small = self.driver.execute_script("""
            const small = [];
            for (const element of document.querySelectorAll(
                     'a[href], button, input, select, textarea, [tabindex]:not([tabindex="-1"])')) {
              const box = element.getBoundingClientRect();
              if (box.width === 0 && box.height === 0) continue; // not shown
              if (box.width < 24 || box.height < 24)
                small.push(`${element.tagName} ${element.id || element.textContent.trim()}: ` +
                           `${box.width.toFixed(1)} x ${box.height.toFixed(1)}`);
            }
            return small;""")
        self.failures.equal(small, [], f"controls smaller than 24 x 24 px at 360 px ({state})")
        broken = self.driver.execute_script("""
            const broken = [];
            for (const cell of document.querySelectorAll('#devices td.name')) {
              const text = cell.firstChild;
              if (!text) continue;
              const pattern = /[\\p{L}\\p{N}]+/gu; // a word: letters and digits
              let match;
              while ((match = pattern.exec(text.data))) {
                const range = document.createRange();
                range.setStart(text, match.index);
                range.setEnd(text, match.index + match[0].length);
                const lines = new Set([...range.getClientRects()].map((r) => Math.round(r.top)));
                if (lines.size > 1) broken.push(match[0]);
              }
            }
            return broken;""")
        self.failures.equal(broken, [], f"words of names broken across lines at 360 px ({state})")

    def layout_shift(self):
        return self.driver.execute_script("return window.layoutShifts.reduce((a, b) => a + b, 0)")

    def console_errors(self):
        return [entry["message"] for entry in self.driver.get_log("browser")
                if entry["level"] == "SEVERE"]

    def history(self):
        """The entries of the History list: [time, old -> new, result, from]."""
        return self.driver.execute_script("""
            const list = document.getElementById('history');
            if (list.hidden) return [];
            return [...list.children].map((item) => ['time', 'change', 'result', 'from'].map(
              (part) => item.querySelector('.' + part).textContent));""")

    def sort_state(self):
        return self.driver.execute_script("""
            return [...document.querySelectorAll('#devices th')].map(
              (th) => th.textContent.trim().split(' ')[0] + '=' +
                      (th.getAttribute('aria-sort') || ''));""")

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


def run(vornctl, vornsim, axe_source, screenshots, failures):
    sim = processes.simulator(vornsim, DEVICES)
    sim.send(f"gone {FILL} on")  # it arrives later, while the page is open
    work = tempfile.mkdtemp(prefix="vorn-browser-")
    token_file = private_token_file(work)
    serve, origin, token = start_serve(vornctl, "127.0.0.1:0", token_file)
    driver = None
    try:
        driver = browser(1280, 860, os.path.join(work, "profile"))
        page = Page(driver, axe_source, failures)
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
        failures.check(wait(lambda: "127.0.0.1" in page.text("#interface")),
                       "the interface is shown")
        failures.equal(page.sort_state(), ["Name=", "Product=", "ID=ascending", "Address="],
                       "the list is sorted by ID")
        failures.equal(page.text("#signed-in"), "Signed in as owner (write)", "the owner signed in")
        failures.equal(page.console_errors(), [], "console errors on loading")
        page.audit("loaded")

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
        failures.check(wait(lambda: len(page.history()) == 1),
                       f"the write in the device's history: {page.history()}")

        # From here on the server's texts of a write's answers read otherwise: the
        # page decides by the answers' codes, so nothing below changes.
        driver.execute_script(CHANGED_PROSE)

        # The monitor's number is refused, naming it; "Write anyway" writes it.
        page.type_into("New serial number", "100002")
        page.type_into("Repeat serial number", "100002")
        page.button("Set serial").click()
        failures.check(wait(lambda: "held by" in page.text("#serial-result"), 20),
                       f"a duplicate is refused: {page.text('#serial-result')!r}")
        failures.check(f"{MONITOR_NAME} ({MONITOR})" in page.text("#serial-result"),
                       f"the refusal names the holder: {page.text('#serial-result')!r}")
        failures.check(page.button("Write anyway").is_displayed(), "Write anyway is offered")
        while sim.next_line(0.1) is not None:  # every line vornsim printed so far
            pass
        failures.check(not any(l == f"serial-set device={STAGE} value=100002" for l in sim.seen),
                       "nothing was written on the refusal")
        page.audit("duplicate refused")
        if screenshots:
            take_screenshots(driver, screenshots, "refused")
        page.button("Write anyway").click()
        failures.equal(driver.switch_to.active_element.get_attribute("id"), "serial-result",
                       "the keyboard's place once Write anyway has gone")
        failures.check(wait(lambda: "Verified" in page.text("#serial-result"), 20),
                       f"written anyway: {page.text('#serial-result')!r}")
        failures.check(sim.wait_for(lambda l: l == f"serial-set device={STAGE} value=100002", 10),
                       "the device took the monitor's number")
        failures.check(not page.button("Write anyway").is_displayed(),
                       "Write anyway is gone after the write")
        history = wait(lambda: page.history() if len(page.history()) == 2 else None)
        failures.check(history, f"both writes in the history: {page.history()}")
        if history:
            failures.equal([entry[1:3] for entry in history],
                           [["20261207 → 100002", "verified"],
                            ["100001 → 20261207", "verified"]],
                           "the history, newest first")
            failures.check(re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC", history[0][0]),
                           f"the time of a write: {history[0][0]!r}")
            failures.check(" on " in history[0][3] and "vornctl" in history[0][3],
                           f"where a write came from: {history[0][3]!r}")
        page.audit("written anyway, history")
        if screenshots:
            take_screenshots(driver, screenshots, "history")

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
        failures.check(wait(lambda: [entry[1:3] for entry in page.history()]
                            == [["100002 → 777", "refused"]]),
                       f"the monitor's history: {page.history()}")
        page.audit("write refused by the device")

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
        shift = page.layout_shift()
        failures.check(shift < SHIFT_LIMIT,
                       f"layout shift while loading and while devices came and went: {shift:.3f}")
        page.console_errors()  # the refusals' status 409 are logged: they were meant

        # The filter and sorting by a header.
        page.type_into("Filter", "fill")
        failures.check(wait(lambda: list(page.rows()) == [FILL]),
                       f"filtered rows: {list(page.rows())}")
        page.labelled("Filter").clear()
        page.labelled("Filter").send_keys(" ")  # an input event with an empty filter
        failures.check(wait(lambda: len(page.rows()) == 2), "all rows again")
        page.button("Name").click()
        failures.check(wait(lambda: list(page.rows()) == [STAGE, FILL]), "sorted by name")
        failures.equal(page.sort_state(), ["Name=ascending", "Product=", "ID=", "Address="],
                       "aria-sort follows the sorted column")
        page.button("Name").click()
        failures.check(wait(lambda: list(page.rows()) == [FILL, STAGE]), "sorted by name, down")
        failures.equal(page.sort_state(), ["Name=descending", "Product=", "ID=", "Address="],
                       "aria-sort descending")
        page.audit("sorted")

        # The server goes away (status 0 on SIGTERM) and comes back on the same port.
        serve.process.send_signal(signal.SIGTERM)
        failures.equal(serve.finish(30), 0, "vornctl serve's status after SIGTERM")
        failures.check(wait(lambda: "lost" in page.text("#connection").lower(), 10),
                       f"the page says the server is gone: {page.text('#connection')!r}")
        page.audit("connection lost")
        serve, _, _ = start_serve(vornctl, origin[len("http://"):], token_file)
        failures.check(wait(lambda: page.text("#connection") == "Live", 20),
                       f"the page reconnects: {page.text('#connection')!r}")
        failures.check(wait(lambda: set(page.rows()) == {STAGE, FILL}, 15),
                       f"rows after reconnecting: {list(page.rows())}")
        while sim.next_line(0.1) is not None:  # every line vornsim printed so far
            pass
        failures.check(not any("value=555" in line for line in sim.seen),
                       "the differing numbers never reached a device")
        page.console_errors()  # those of the server's absence

        # A phone opens the page while devices arrive: nothing shifts, nothing fails.
        sim.send(f"gone {FILL} on")
        failures.check(wait(lambda: FILL not in page.rows(), REMOVAL), "the fill leaves")
        driver.set_window_size(360, 800)
        driver.refresh()
        failures.check(wait(lambda: set(page.rows()) == {STAGE}, 15),
                       f"rows on a phone: {list(page.rows())}")
        sim.send(f"gone {FILL} off")
        failures.check(wait(lambda: set(page.rows()) == {STAGE, FILL}, 15),
                       f"a device arriving on a phone: {list(page.rows())}")
        page.rows()[STAGE].click()
        failures.check(wait(lambda: len(page.history()) == 2), "the history on a phone")
        shift = page.layout_shift()
        failures.check(shift < SHIFT_LIMIT,
                       f"layout shift on a phone while devices arrive: {shift:.3f}")
        failures.equal(page.console_errors(), [], "console errors on a phone")
        driver.set_window_size(1280, 860)
        people(vornctl, token_file, origin, page, failures)
        failures.check(page.audits >= 28, f"axe-core ran in every state: {page.audits} runs")
    finally:
        if driver:
            driver.quit()
        serve.process.send_signal(signal.SIGTERM)
        serve.finish(30)
        processes.stop_simulator(sim)
        shutil.rmtree(work, ignore_errors=True)


def people(vornctl, token_file, origin, page, failures):
    """People with links of their own, given by vornctl access into the access file beside
    the token file while serve runs: a read-only one sees the page without its write
    controls, a writer's write is in the history under their name, and a revoked one's
    page says at once that its access ended."""
    def access(*words):
        done = subprocess.run([vornctl, "access", *words, "--token-file", token_file],
                              capture_output=True, text=True, timeout=30)
        failures.equal(done.returncode, 0, f"vornctl access {' '.join(words)}: {done.stderr}")
        return done.stdout
    tokens = {name: re.search(r"\?token=(\S+)", access("add", name, *extra)).group(1)
              for name, extra in (("ana", ()), ("max", ("--read-only",)))}
    # serve looks at the access file four times a second: the links work within a second.
    import urllib.request

    def works(token):
        request = urllib.request.Request(f"{origin}/api/session",
                                         headers={"Authorization": f"Bearer {token}"})
        try:
            with urllib.request.urlopen(request, timeout=5) as answer:
                return answer.status == 200
        except OSError:
            return False
    failures.check(wait(lambda: works(tokens["ana"]) and works(tokens["max"]), 5),
                   "the new links work within seconds")
    driver = page.driver
    shown = lambda element_id: driver.find_element(page.By.ID, element_id).is_displayed()
    driver.get(f"{origin}/?token={tokens['max']}")
    failures.check(wait(lambda: page.text("#signed-in") == "Signed in as max (read-only)"),
                   f"the read-only person signed in: {page.text('#signed-in')!r}")
    failures.check(not shown("serial-form") and not shown("program-panel")
                   and shown("read-only-note"), "no write controls for read-only")
    failures.check(wait(lambda: STAGE in page.rows()), "the read-only person sees the devices")
    page.rows()[STAGE].click()
    failures.check(wait(lambda: page.text("#current-serial").isdigit()),
                   f"the read-only person reads a serial number: {page.text('#current-serial')!r}")
    page.audit("read-only")

    driver.get(f"{origin}/?token={tokens['ana']}")
    failures.check(wait(lambda: page.text("#signed-in") == "Signed in as ana (write)"),
                   f"the writer signed in: {page.text('#signed-in')!r}")
    failures.check(wait(lambda: STAGE in page.rows()), "the writer sees the devices")
    page.rows()[STAGE].click()
    failures.check(wait(lambda: page.text("#current-serial").isdigit()), "the writer's device")
    page.type_into("New serial number", "4242")
    page.type_into("Repeat serial number", "4242")
    page.button("Set serial").click()
    failures.check(wait(lambda: "Verified" in page.text("#serial-result"), 20),
                   f"the writer's write: {page.text('#serial-result')!r}")
    history = wait(lambda: page.history() if "→ 4242" in page.history()[0][1] else None)
    failures.check(history and history[0][3].startswith("ana from 127.0.0.1 on "),
                   f"the history names the writer and their address: {page.history()[:1]}")

    access("revoke", "ana")
    failures.check(wait(lambda: "ended" in page.text("#connection"), 5),
                   f"the revoked page says so: {page.text('#connection')!r}")
    failures.check(not driver.find_element(page.By.ID, "set-serial").is_enabled(),
                   "the revoked page's controls are off")
    page.console_errors()  # the 401 of the revoked link was meant


def take_screenshots(driver, directory, state):
    """The page at desktop and phone width, light and dark (taken once two
    pictures in a row are alike, so the layout has settled)."""
    os.makedirs(directory, exist_ok=True)
    page = Page(driver, None, None)
    for size, width, height in (("desktop", 1280, 720), ("phone", 360, 800)):
        driver.set_window_size(width, height)
        for scheme in ("light", "dark"):
            page.scheme(scheme == "dark")
            page.settle()
            # The whole page, beyond the window's height.
            content = driver.execute_cdp_cmd("Page.getLayoutMetrics", {})["cssContentSize"]
            picture = base64.b64decode(driver.execute_cdp_cmd("Page.captureScreenshot", {
                "format": "png", "captureBeyondViewport": True, "clip": {
                    "x": 0, "y": 0, "width": width, "height": content["height"],
                    "scale": 1}})["data"])
            with open(os.path.join(directory, f"serve-{state}-{size}-{scheme}.png"), "wb") as file:
                file.write(picture)
    page.scheme(False)
    driver.set_window_size(1280, 860)


def browser_arguments(usage):
    """The command line of a browser test (VORNCTL VORNSIM NETNS_SCRIPT --axe
    AXE_MIN_JS [--screenshots DIR]) and axe-core's source; skips where the
    browser cannot run, ends with status 1 without axe-core."""
    parser = argparse.ArgumentParser(usage=usage)
    parser.add_argument("vornctl")
    parser.add_argument("vornsim")
    parser.add_argument("netns")
    parser.add_argument("--axe", required=True, help="axe-core's axe.min.js")
    parser.add_argument("--screenshots", metavar="DIR")
    arguments = parser.parse_args()
    processes.require_test_namespace(arguments.netns)
    for path in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
        if not os.path.exists(path):
            processes.skip(f"{path} is missing (packages chromium, chromium-driver)")
    try:
        import selenium  # noqa: F401
    except ImportError:
        processes.skip("selenium is missing (package python3-selenium)")
    if not os.path.exists(arguments.axe):
        print(f"{arguments.axe} is missing: scripts/npm-tools.sh axe-core installs it",
              file=sys.stderr)
        sys.exit(1)
    with open(arguments.axe) as file:
        return arguments, file.read()


def main():
    arguments, axe_source = browser_arguments(__doc__.rsplit("usage: ", 1)[1])
    if not shutil.which("zbarimg"):
        processes.skip("zbarimg is missing (package zbar-tools)")
    failures = processes.Failures()
    run(arguments.vornctl, arguments.vornsim, axe_source, arguments.screenshots, failures)
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
