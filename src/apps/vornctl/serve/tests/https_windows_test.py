#!/usr/bin/env python3
"""The Windows build's vornctl serve under Wine, inside the test run's network namespace with
its veth pair: vornctl.exe serve listens on 192.0.2.1, the devices of vornsim.exe answer from
192.0.2.2. Off loopback serve speaks HTTPS with a certificate of its own authority. A Linux
client (Python's ssl) whose only trust anchor is that authority (taken from /ca.crt and checked
against the SHA-256 serve printed) verifies the certificate fully, chain and name (the listen
address); the certificate served is the one whose SHA-256 serve printed; the API lists the
simulated devices over it and the cookie is Secure. A name the certificate does not carry, a
client without the authority and a plain HTTP request get nothing.

usage: https_windows_test.py VORNCTL_EXE VORNSIM_EXE NETNS_SCRIPT EMULATOR [ARGUMENTS...]
(EMULATOR: how the build runs a Windows program, cmake/wine-emulator.sh and its prefix)"""

import hashlib
import http.client
import json
import os
import re
import socket
import ssl
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "..",
                                "..", "tools", "testing"))
import processes  # noqa: E402

TOOL = "192.0.2.1"
DEVICES = "192.0.2.2"
STAGE = "00000500:00000001"
MONITOR = "00000500:00000002"
# A cold Wine process takes seconds to start, more on a loaded machine.
START = 90


def fingerprint(text):
    """'AB:CD:...' as printed, as lowercase hex without colons."""
    return text.replace(":", "").lower()


def start_serve(emulator, vornctl, journal):
    serve = processes.Program(emulator + [vornctl, "--interface", TOOL, "serve", "--listen",
                                          f"{TOOL}:0", "--journal", journal],
                              env=processes.environment())
    printed = {}
    patterns = {
        "origin": re.compile(r"serving (https://192\.0\.2\.1:(\d+))/\?token=(\S+)"),
        "certificate": re.compile(r"certificate SHA-256 ((?:[0-9A-F]{2}:){31}[0-9A-F]{2})"),
        "authority": re.compile(r"authority SHA-256 ((?:[0-9A-F]{2}:){31}[0-9A-F]{2})"),
    }
    deadline = time.monotonic() + START
    while len(printed) < len(patterns):
        line = serve.next_line(deadline - time.monotonic())
        if line is None:
            serve.process.kill()
            serve.finish(10)
            raise RuntimeError(f"vornctl.exe serve printed {serve.seen!r}, not all of "
                               f"{sorted(patterns)}; stderr: {serve.errors}")
        if line.startswith("serving ") and not patterns["origin"].fullmatch(line):
            serve.process.kill()
            serve.finish(10)
            raise RuntimeError(f"vornctl.exe serve printed {line!r}, not an https:// link")
        for key, pattern in patterns.items():
            match = pattern.fullmatch(line)
            if match and key not in printed:
                printed[key] = match
    return serve, printed


def fetch_authority(port):
    """/ca.crt without checking anything (its SHA-256 is checked against the printed one)."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    connection = http.client.HTTPSConnection(TOOL, port, timeout=30, context=context)
    try:
        connection.request("GET", "/ca.crt")
        response = connection.getresponse()
        body = response.read()
        if response.status != 200:
            raise RuntimeError(f"/ca.crt: status {response.status}")
    finally:
        connection.close()
    if body.lstrip().startswith(b"-----BEGIN"):
        return ssl.PEM_cert_to_DER_cert(body.decode("ascii"))
    return body


def handshake_error(context, port, name):
    """The error of a TLS handshake with `name` as the server's expected name; None if it worked."""
    with socket.create_connection((TOOL, port), timeout=30) as raw:
        try:
            with context.wrap_socket(raw, server_hostname=name):
                return None
        except ssl.SSLError as error:
            return error


def run(emulator, vornctl, vornsim, failures):
    sim = processes.Program(emulator + [
        vornsim, "--stdin-control", "--interval", "200",
        "--device", f"id={STAGE},type=12,name=Stage,address={DEVICES},serial=100001",
        "--device", f"id={MONITOR},type=10,name=Monitor,address={DEVICES},serial=100002"],
        stdin=subprocess.PIPE)
    if sim.wait_for(lambda line: line.startswith("ready "), START) is None:
        sim.process.kill()
        sim.finish(10)
        raise RuntimeError("vornsim.exe did not start: " + " | ".join(sim.errors))
    state = tempfile.mkdtemp(prefix="vorn-https-windows-")
    serve = None
    try:
        serve, printed = start_serve(emulator, vornctl, "Z:" + state + "/journal.jsonl")
        for line in serve.seen:
            print(f"vornctl.exe serve: {line}", flush=True)
        port = int(printed["origin"].group(2))
        token = printed["origin"].group(3)

        authority = fetch_authority(port)
        failures.equal(hashlib.sha256(authority).hexdigest(),
                       fingerprint(printed["authority"].group(1)),
                       "SHA-256 of /ca.crt against the printed authority line")

        # The authority as the only trust anchor; the name checked is the listen address.
        trusting = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        trusting.load_verify_locations(cadata=authority)
        failures.check(trusting.check_hostname and trusting.verify_mode == ssl.CERT_REQUIRED,
                       "the client verifies chain and name")
        with socket.create_connection((TOOL, port), timeout=30) as raw:
            with trusting.wrap_socket(raw, server_hostname=TOOL) as tls:
                served = tls.getpeercert(binary_form=True)
                failures.equal(hashlib.sha256(served).hexdigest(),
                               fingerprint(printed["certificate"].group(1)),
                               "SHA-256 of the certificate served against the printed one")
                failures.check(tls.version() in ("TLSv1.2", "TLSv1.3"),
                               f"protocol {tls.version()}")
                print(f"verified {tls.version()} {tls.cipher()[0]}, certificate for "
                      f"{tls.getpeercert().get('subjectAltName')}", flush=True)

        # The API over a verified connection: the simulated devices arrive.
        def devices():
            connection = http.client.HTTPSConnection(TOOL, port, timeout=30, context=trusting)
            try:
                connection.request("GET", "/api/devices",
                                   headers={"Authorization": f"Bearer {token}"})
                response = connection.getresponse()
                return response.status, response.read()
            finally:
                connection.close()

        deadline = time.monotonic() + 30
        status, body = devices()
        while not (STAGE in body.decode("utf-8", "replace") and
                   MONITOR in body.decode("utf-8", "replace")) and time.monotonic() < deadline:
            time.sleep(0.5)
            status, body = devices()
        failures.equal(status, 200, "status of GET /api/devices over HTTPS")
        ids = {device.get("id") for device in json.loads(body).get("devices", [])
               } if status == 200 else set()
        failures.check({STAGE, MONITOR} <= ids, f"devices listed over HTTPS: {sorted(ids)}")
        print(f"devices listed over HTTPS: {sorted(ids)}", flush=True)

        connection = http.client.HTTPSConnection(TOOL, port, timeout=30, context=trusting)
        try:
            connection.request("GET", f"/?token={token}")
            response = connection.getresponse()
            response.read()
            cookie = response.getheader("Set-Cookie") or ""
            failures.check(response.status < 400 and "; Secure" in cookie,
                           f"the link's answer: status {response.status}, cookie {cookie!r}")
        finally:
            connection.close()

        # What must not work.
        error = handshake_error(trusting, port, DEVICES)
        failures.check(isinstance(error, ssl.SSLCertVerificationError) and
                       "IP address mismatch" in str(error),
                       f"a name the certificate does not carry: {error!r}")
        error = handshake_error(ssl.create_default_context(), port, TOOL)
        failures.check(isinstance(error, ssl.SSLCertVerificationError),
                       f"a client without the authority: {error!r}")
        with socket.create_connection((TOOL, port), timeout=30) as plain:
            plain.sendall(f"GET /?token={token} HTTP/1.1\r\nHost: {TOOL}:{port}\r\n\r\n"
                          .encode("ascii"))
            reply = b""
            try:
                while len(reply) < 65536:
                    chunk = plain.recv(4096)
                    if not chunk:
                        break
                    reply += chunk
            except (socket.timeout, ConnectionResetError):
                pass
        failures.check(not reply.startswith(b"HTTP/1.1 2") and b"<html" not in reply.lower(),
                       f"a plain HTTP request got {reply[:80]!r}")
    finally:
        if serve is not None:
            serve.process.terminate()
            serve.finish(30)
        try:
            sim.send("quit")
        except (BrokenPipeError, OSError):
            pass
        sim.finish(30)
        subprocess.run(["rm", "-rf", state], check=False)


def main():
    if len(sys.argv) < 5:
        print(__doc__.split("usage: ")[1], file=sys.stderr)
        return 2
    vornctl, vornsim, netns = sys.argv[1:4]
    emulator = sys.argv[4:]
    processes.require_test_namespace(netns)
    addresses = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True,
                               text=True).stdout
    if f" {TOOL}/" not in addresses or f" {DEVICES}/" not in addresses:
        processes.skip("the veth pair 192.0.2.1/192.0.2.2 is missing (scripts/netns.sh --veth)")
    failures = processes.Failures()
    run(emulator, vornctl, vornsim, failures)
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
