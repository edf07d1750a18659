#!/usr/bin/python3
"""The pictures of vornctl serve's page in the guides (docs/serve-*.png), from the real page in
headless Chromium against vornsim playing a rack as a technician sees one: a processor at front
of house, the amplifier racks, the monitor wedges, the fills and the delay towers. Runs inside
a private network namespace (doc-pictures.sh starts it there).

usage: page-pictures.py VORNCTL VORNSIM NETNS_SCRIPT DOCS_DIR"""

import os
import shutil
import signal
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "tools", "testing"))
sys.path.insert(0, os.path.join(HERE, "..", "src", "apps", "vornctl", "serve", "tests"))
import processes  # noqa: E402
from browser_test import (Page, browser, private_token_file, start_serve,  # noqa: E402
                          take_screenshots, wait)

# ID, product type (12 Ondal 4, 10 Ondal 2), name, serial number.
RACK = [
    ("00000a10:00000001", 12, "FOH-Processor", 1001),
    ("00000a10:00000002", 10, "Amp-Rack-Left", 1002),
    ("00000a10:00000003", 10, "Amp-Rack-Right", 1003),
    ("00000a10:00000004", 10, "Amp-Rack-Sub", 1004),
    ("00000a10:00000005", 10, "Monitor-Wedge-1", 1005),
    ("00000a10:00000006", 10, "Monitor-Wedge-2", 1006),
    ("00000a10:00000007", 12, "Delay-Tower-Left", 1007),
    ("00000a10:00000008", 12, "Delay-Tower-Right", 1008),
    ("00000a10:00000009", 10, "Front-Fill", 1009),
]
FOH, AMP_LEFT = RACK[0][0], RACK[1][0]


def devices():
    return [f"id={id},type={kind},name={name},address=127.0.0.{2 + index},serial={serial}"
            for index, (id, kind, name, serial) in enumerate(RACK)]


def write(page, number, expect):
    page.type_into("New serial number", str(number))
    page.type_into("Repeat serial number", str(number))
    page.button("Set serial").click()
    if not wait(lambda: expect in page.text("#serial-result"), 20):
        raise RuntimeError(f"writing {number}: {page.text('#serial-result')!r}")


def run(vornctl, vornsim, docs):
    sim = processes.simulator(vornsim, devices())
    work = tempfile.mkdtemp(prefix="vorn-pictures-")
    token_file = private_token_file(work)
    serve, origin, token = start_serve(vornctl, "127.0.0.1:0", token_file)
    driver = None
    try:
        driver = browser(1280, 860, os.path.join(work, "profile"))
        page = Page(driver, None, None)
        driver.get(f"{origin}/?token={token}")
        if not wait(lambda: len(page.rows()) == len(RACK), 20):
            raise RuntimeError(f"rows: {list(page.rows())}")
        wait(lambda: all(row.text and not row.text.startswith("Unknown")
                         for row in page.rows().values()), 20)
        page.rows()[FOH].click()
        wait(lambda: page.text("#current-serial") == "1001")
        write(page, 20261207, "Verified")
        # Amp-Rack-Left's number: refused, naming it, with "Write anyway".
        write(page, 1002, "held by")
        shots = os.path.join(work, "shots")
        take_screenshots(driver, shots, "refused")
        page.rows()[AMP_LEFT].click()
        wait(lambda: page.text("#current-serial") == "1002")
        write(page, 20261208, "Verified")
        write(page, 20261209, "Verified")
        wait(lambda: len(page.history()) == 2)
        take_screenshots(driver, shots, "history")
        for source, target in (("serve-history-desktop-light.png", "serve-desktop.png"),
                               ("serve-history-phone-light.png", "serve-phone.png"),
                               ("serve-refused-desktop-dark.png", "serve-dark.png")):
            shutil.copyfile(os.path.join(shots, source), os.path.join(docs, target))
        # "Open on another device": the link as a QR code.
        page.button("Open on another device").click()
        image = driver.find_element(page.By.ID, "link-qr")
        wait(lambda: driver.execute_script("return arguments[0].complete && arguments[0].naturalWidth",
                                           image))
        page.settle()
        panel = driver.find_element(page.By.ID, "link-panel")
        bottom = driver.execute_script(
            "const r = arguments[0].getBoundingClientRect(); return r.bottom + window.scrollY;", panel)
        driver.set_window_size(1280, int(bottom) + 200)
        page.settle()
        picture = os.path.join(docs, "serve-link.png")
        driver.save_screenshot(picture)
    finally:
        if driver:
            driver.quit()
        serve.process.send_signal(signal.SIGTERM)
        serve.finish(30)
        processes.stop_simulator(sim)
        shutil.rmtree(work, ignore_errors=True)


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    vornctl, vornsim, netns, docs = sys.argv[1:]
    processes.require_test_namespace(netns)
    run(vornctl, vornsim, docs)
    return 0


if __name__ == "__main__":
    sys.exit(main())
