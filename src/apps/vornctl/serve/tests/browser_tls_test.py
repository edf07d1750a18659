#!/usr/bin/env python3
"""The page over HTTPS in headless Chromium, as a user who accepted vornctl
serve's certificate: Chromium is pinned to the served key
(--ignore-certificate-errors-spki-list). serve listens on 192.0.2.1 (the veth
pair of scripts/netns.sh --veth), so it serves HTTPS with its own authority by
default; the devices (vornsim) are on loopback. The page loads, the token's
cookie is Secure, the live push runs over wss:// (a device that appears shows
up), a serial write is verified, "Open on another device" shows the SHA-256 of
the certificate and of the authority serve printed with the link to its
certificate; no layout shift, no console error, no axe-core violation.

usage: browser_tls_test.py VORNCTL VORNSIM NETNS_SCRIPT --axe AXE_MIN_JS [--screenshots DIR]"""

import base64
import hashlib
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "..",
                                "..", "tools", "testing"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import processes  # noqa: E402
from browser_test import (SHIFT_LIMIT, Page, browser, browser_arguments,  # noqa: E402
                          take_screenshots, wait)

HOST = "192.0.2.1"
STAGE = "00000500:00000001"
FILL = "00000500:00000003"
DEVICES = [f"id={STAGE},type=12,name=Stage left,address=127.0.0.2,serial=100001",
           f"id={FILL},type=11,name=Fill,address=127.0.0.3,serial=100003"]


def served_certificate(port):
    """The DER of the certificate the server sends."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    with socket.create_connection((HOST, port), timeout=10) as raw:
        with context.wrap_socket(raw, server_hostname=HOST) as tls:
            return tls.getpeercert(binary_form=True)


def spki_pin(der):
    """base64 of the SHA-256 of the certificate's SubjectPublicKeyInfo (DER)."""
    pem = subprocess.run(["openssl", "x509", "-inform", "der", "-pubkey", "-noout"], input=der,
                         capture_output=True, check=True, timeout=20).stdout
    spki = subprocess.run(["openssl", "pkey", "-pubin", "-outform", "der"], input=pem,
                          capture_output=True, check=True, timeout=20).stdout
    return base64.b64encode(hashlib.sha256(spki).digest()).decode()


def start_serve(vornctl):
    serve = processes.Program([vornctl, "--interface", "127.0.0.1", "serve", "--listen",
                               f"{HOST}:0"], env=processes.environment())
    lines = [serve.next_line(20) for _ in range(3)]
    match = re.fullmatch(rf"serving (https://{re.escape(HOST)}:(\d+))/\?token=(\S+)",
                         lines[0] or "")
    if not match or not all(lines):
        serve.process.kill()
        serve.finish(10)
        raise RuntimeError(f"vornctl serve printed {lines!r}; stderr: {serve.errors}")
    return serve, match.group(1), int(match.group(2)), match.group(3), lines


def run(vornctl, vornsim, axe_source, screenshots, failures):
    sim = processes.simulator(vornsim, DEVICES)
    sim.send(f"gone {FILL} on")  # it appears while the page is open
    work = tempfile.mkdtemp(prefix="vorn-browser-tls-")
    serve, origin, port, token, lines = start_serve(vornctl)
    driver = None
    try:
        printed = lines[1].removeprefix("certificate SHA-256 ")
        authority = lines[2].removeprefix("authority SHA-256 ")
        der = served_certificate(port)
        failures.equal(":".join(f"{b:02X}" for b in hashlib.sha256(der).digest()), printed,
                       "the served certificate is the printed one")
        driver = browser(1280, 860, os.path.join(work, "profile"),
                         [f"--ignore-certificate-errors-spki-list={spki_pin(der)}"])
        page = Page(driver, axe_source, failures)
        driver.get(f"{origin}/?token={token}")
        failures.check(wait(lambda: driver.current_url == origin + "/"),
                       f"the page loads over HTTPS: {driver.current_url}")
        cookie = {c["name"]: c for c in driver.get_cookies()}.get(f"vorn_token_{port}", {})
        failures.check(cookie.get("secure") is True and cookie.get("httpOnly") is True,
                       f"the token cookie is Secure and HttpOnly: {cookie}")

        # The live push over wss://: the present device, then one that appears.
        failures.check(wait(lambda: set(page.rows()) == {STAGE}, 15),
                       f"the present device's row: {list(page.rows())}")
        failures.check(wait(lambda: page.text("#connection") == "Live"), "the page is live")
        failures.equal(driver.execute_script("return socket.url"),
                       f"wss://{HOST}:{port}/api/events", "the live push's address")
        sim.send(f"gone {FILL} off")
        failures.check(wait(lambda: set(page.rows()) == {STAGE, FILL}, 15),
                       f"a device that appears shows up: {list(page.rows())}")
        shift = page.layout_shift()
        failures.check(shift < SHIFT_LIMIT, f"layout shift while loading: {shift:.3f}")

        # A serial write over HTTPS, verified by reading back.
        page.rows()[STAGE].click()
        failures.check(wait(lambda: page.text("#current-serial") == "100001"),
                       f"serial number shown: {page.text('#current-serial')!r}")
        page.type_into("New serial number", "20261208")
        page.type_into("Repeat serial number", "20261208")
        page.button("Set serial").click()
        failures.check(wait(lambda: "Verified" in page.text("#serial-result"), 20),
                       f"write verified: {page.text('#serial-result')!r}")
        failures.check(sim.wait_for(lambda l: l == f"serial-set device={STAGE} value=20261208",
                                    10), "the device took the number")

        # "Open on another device": the fingerprints as text, the authority's link.
        page.button("Open on another device").click()
        failures.check(wait(lambda: page.text("#certificate-sha256") == printed),
                       f"the certificate's SHA-256 on the page: {page.text('#certificate-sha256')!r}")
        failures.equal(page.text("#authority-sha256"), authority, "the authority's SHA-256")
        link = driver.find_element(page.By.CSS_SELECTOR, "#authority-note a")
        failures.equal(link.get_attribute("href"), f"{origin}/ca.crt", "the authority's link")
        failures.check(wait(lambda: driver.execute_script(
            "return document.getElementById('link-qr').naturalWidth")), "the QR code loads")
        failures.equal(page.console_errors(), [], "console errors")
        page.audit("over HTTPS, the link shown")
        if screenshots:
            take_screenshots(driver, screenshots, "https")
    finally:
        if driver:
            driver.quit()
        serve.process.send_signal(signal.SIGTERM)
        failures.equal(serve.finish(30), 0, "vornctl serve's status after SIGTERM")
        processes.stop_simulator(sim)
        shutil.rmtree(work, ignore_errors=True)


def main():
    arguments, axe_source = browser_arguments(__doc__.rsplit("usage: ", 1)[1])
    if HOST not in subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True,
                                  text=True, timeout=10).stdout:
        print(f"FAILED: {HOST} is not an address here: run under scripts/netns.sh --veth",
              flush=True)
        return 1
    failures = processes.Failures()
    run(arguments.vornctl, arguments.vornsim, axe_source, arguments.screenshots, failures)
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
