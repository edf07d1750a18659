#!/usr/bin/python3
"""vornctl serve over HTTPS as a program, on the veth pair of scripts/netns.sh
--veth (192.0.2.1 on vorn0, 192.0.2.2 on vorn1):

- the handshake; TLS 1.2 and 1.3 only; ECDHE with AEAD suites only; no
  compression, no renegotiation; a silent connection closed at the handshake's
  deadline; plain HTTP to the TLS port gets no page and no API answer;
- the printed fingerprint is the served one, a client that trusts serve's
  authority verifies name and chain, GET /ca.crt without the token; a restart
  keeps the certificate;
- SIGHUP: a good pair is taken by new connections while open ones go on; a
  pair that does not match keeps the old one and says why; at start such a
  pair ends serve naming the file;
- the cookie is Secure, the page's Origin is https:// (an http:// one is
  foreign), the live push is wss:// under the same rule;
- --insecure-http serves plain HTTP with a warning; loopback stays plain
  unless a certificate is given;
- a wildcard listen address prints one serving line per adapter address, in
  the system's order, and the certificate names them all.

Every program, socket and wait has a deadline, and the whole test one more: it
fails rather than hang or skip.

usage: tls_test.py VORNCTL NETNS_SCRIPT   (inside scripts/netns.sh --veth)"""

import base64
import hashlib
import http.client
import json
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import warnings

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "..",
                                "..", "tools", "testing"))
import processes  # noqa: E402

HOST, OTHER = "192.0.2.1", "192.0.2.2"
TIMEOUT = 10  # seconds, for every socket and every line awaited
WHOLE_TEST = 100  # seconds; CTest's own limit is above it
started = []  # every program started, killed if the test runs out of time


def out_of_time(signum, frame):
    print(f"FAILED: the test took more than {WHOLE_TEST} s", flush=True)
    for program in started:
        if program.process.poll() is None:
            program.process.kill()
    os._exit(1)


def fail_to_run(reason):
    """The test cannot run here: a failure that says why, never a skip."""
    print(f"FAILED: cannot run: {reason}", flush=True)
    sys.exit(1)


def fingerprint_of(der):
    return ":".join(f"{b:02X}" for b in hashlib.sha256(der).digest())


def unverified(minimum=None, maximum=None, ciphers=None):
    warnings.simplefilter("ignore", DeprecationWarning)  # TLS 1.0 and 1.1, offered on purpose
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    if ciphers:
        context.set_ciphers(ciphers)
    if minimum:
        context.minimum_version = minimum
    if maximum:
        context.maximum_version = maximum
    return context


def connect(port, context=None, host=HOST, name=None):
    raw = socket.create_connection((host, port), timeout=TIMEOUT)
    try:
        return (context or unverified()).wrap_socket(raw, server_hostname=name or host)
    except BaseException:
        raw.close()
        raise


def served(port, context=None, host=HOST, name=None):
    """(fingerprint, version, cipher, compression) of one handshake."""
    with connect(port, context, host, name) as tls:
        return (fingerprint_of(tls.getpeercert(binary_form=True)), tls.version(), tls.cipher()[0],
                tls.compression())


def refused(port, context):
    """True when the server refuses a handshake with this client."""
    try:
        served(port, context)
        return False
    except (ssl.SSLError, ConnectionError):
        return True


def request(port, method, target, headers=None, context=None, host=HOST, plain=False):
    """(status, headers, body) of one request on a new connection."""
    if plain:
        connection = http.client.HTTPConnection(host, port, timeout=TIMEOUT)
    else:
        connection = http.client.HTTPSConnection(host, port, timeout=TIMEOUT,
                                                 context=context or unverified())
    try:
        connection.request(method, target, headers=headers or {})
        answer = connection.getresponse()
        return answer.status, answer.headers, answer.read()
    finally:
        connection.close()


def read_all(sock):
    data = b""
    try:
        while chunk := sock.recv(4096):
            data += chunk
    except (ConnectionError, socket.timeout, ssl.SSLError):
        pass
    return data


def fingerprints(port, token):
    """(status, body) of GET /api/certificate: what the page shows."""
    status, _, body = request(port, "GET", "/api/certificate", {"Authorization": f"Bearer {token}"})
    return status, json.loads(body) if status == 200 else None


def upgrade_status(port, token, origin):
    """The status line of a WebSocket upgrade to /api/events over TLS."""
    key = base64.b64encode(os.urandom(16)).decode()
    with connect(port) as tls:
        tls.sendall((f"GET /api/events HTTP/1.1\r\nHost: {HOST}:{port}\r\nUpgrade: websocket\r\n"
                     f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\n"
                     f"Sec-WebSocket-Version: 13\r\nOrigin: {origin}\r\n"
                     f"Authorization: Bearer {token}\r\n\r\n").encode())
        head = b""
        while b"\r\n" not in head:
            chunk = tls.recv(1024)
            if not chunk:
                break
            head += chunk
        return head.split(b"\r\n", 1)[0].decode(errors="replace")


def make_pair(folder, name):
    """A self-signed ECDSA P-256 certificate for HOST and its key."""
    certificate, key = os.path.join(folder, name + ".crt"), os.path.join(folder, name + ".key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-keyout", key, "-out", certificate,
                    "-days", "30", "-subj", f"/CN={name}", "-addext", f"subjectAltName=IP:{HOST}"],
                   check=True, capture_output=True, timeout=30)
    der = subprocess.run(["openssl", "x509", "-in", certificate, "-outform", "der"], check=True,
                         capture_output=True, timeout=30).stdout
    return certificate, key, fingerprint_of(der)


class Serve:
    """vornctl serve with its first stdout lines read: the serving lines, then
    the certificate's and the authority's fingerprints when there are any."""

    def __init__(self, vornctl, state, listen, *extra, lines=3):
        env = dict(processes.environment(), XDG_STATE_HOME=state)
        self.program = processes.Program([vornctl, "--interface", HOST, "serve", "--listen",
                                          listen, *extra], env=env)
        started.append(self.program)
        self.lines = []
        for _ in range(lines):
            line = self.program.next_line(20)
            if line is None:
                break
            self.lines.append(line)
        first = re.fullmatch(r"serving https?://[^/]+:(\d+)/\?token=(\S+)",
                             self.lines[0] if self.lines else "")
        self.port = int(first.group(1)) if first else 0
        self.token = first.group(2) if first else ""

    def line(self, prefix):
        """The text after `prefix` on the first line that starts with it, or None."""
        return next((l[len(prefix):] for l in self.lines if l.startswith(prefix)), None)

    def reload(self, what):
        """SIGHUP; the stderr line that contains `what` (None at the deadline)."""
        before = len(self.program.errors)
        self.program.process.send_signal(signal.SIGHUP)
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            for line in self.program.errors[before:]:
                if what in line:
                    return line
            time.sleep(0.05)
        return None

    def stop(self):
        if self.program.process.poll() is None:
            self.program.process.send_signal(signal.SIGTERM)
        return self.program.finish(20)


def check_protocol(failures, port, printed, authority):
    """Versions, suites, compression, renegotiation, the fingerprint, the authority."""
    fingerprint, version, cipher, compression = served(port)
    failures.equal(fingerprint, printed, "the printed fingerprint is the served one")
    failures.equal(version, "TLSv1.3", "a current client gets TLS 1.3")
    failures.equal(compression, None, "no compression")
    for maximum in (ssl.TLSVersion.TLSv1_2, ssl.TLSVersion.TLSv1_3):
        _, version, cipher, _ = served(port, unverified(minimum=maximum, maximum=maximum))
        failures.check(re.fullmatch(r"ECDHE-ECDSA-(AES\d+-GCM-SHA\d+|CHACHA20-POLY1305)|"
                                    r"TLS_(AES_\d+_GCM_SHA\d+|CHACHA20_POLY1305_SHA256)", cipher),
                       f"{version}: an ECDHE and AEAD suite, not {cipher}")
    for old in (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1):
        failures.check(refused(port, unverified(old, old, "ALL:@SECLEVEL=0")), f"{old} refused")
    for suites in ("ECDHE-ECDSA-AES128-SHA:ECDHE-ECDSA-AES256-SHA384:ECDHE-ECDSA-AES128-SHA256",
                   "AES128-GCM-SHA256:AES256-GCM-SHA384:AES128-SHA",
                   "DHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-NULL-SHA:@SECLEVEL=0"):
        context = unverified(maximum=ssl.TLSVersion.TLSv1_2, ciphers=suites)
        failures.check(refused(port, context), f"TLS 1.2 with only {suites} refused")
    # Renegotiation: the client asks for one ("R") after the handshake.
    try:
        client = subprocess.run(["openssl", "s_client", "-connect", f"{HOST}:{port}", "-tls1_2"],
                                input="R\n", capture_output=True, text=True, timeout=TIMEOUT)
        output = client.stdout + client.stderr
    except subprocess.TimeoutExpired as expired:
        output = f"no end after {TIMEOUT} s: {expired.stdout}"
    failures.check("RENEGOTIATING" in output and "no renegotiation" in output,
                   f"a renegotiation is refused: {output[-600:]!r}")

    # A client that trusts the authority alone verifies name and chain.
    trusting = ssl.create_default_context(cadata=authority)
    failures.equal(served(port, trusting)[0], printed, "verified through the authority")
    try:
        served(port, trusting, name="other.example")
        failures.check(False, "a name the certificate does not hold is refused")
    except ssl.SSLCertVerificationError:
        pass


def check_rules(failures, port, token):
    """Plain HTTP refused, the cookie, the Origin and wss rules."""
    for target in ("/", f"/?token={token}", "/api/devices", "/ca.crt"):
        with socket.create_connection((HOST, port), timeout=TIMEOUT) as raw:
            raw.sendall(f"GET {target} HTTP/1.1\r\nHost: {HOST}:{port}\r\n"
                        f"Authorization: Bearer {token}\r\n\r\n".encode())
            answer = read_all(raw)
        failures.check(b"HTTP/" not in answer and b"BEGIN" not in answer and b"{" not in answer,
                       f"plain HTTP to the TLS port, {target}: {answer[:80]!r}")

    status, headers, _ = request(port, "GET", f"/?token={token}")
    cookie = headers.get("Set-Cookie", "")
    failures.equal(status, 303, "the link is taken")
    failures.check(cookie.startswith(f"vorn_token_{port}={token};") and "; Secure" in cookie
                   and "HttpOnly" in cookie, f"the cookie is Secure and HttpOnly: {cookie!r}")
    # Only the https:// Origin is the page's own.
    base = {"Authorization": f"Bearer {token}"}
    select = "/api/devices/00000001:00000002/select"
    status, _, _ = request(port, "POST", select, dict(base, Origin=f"https://{HOST}:{port}"))
    failures.equal(status, 404, "a POST from the page's https:// origin passes (unknown device)")
    status, _, body = request(port, "POST", select, dict(base, Origin=f"http://{HOST}:{port}"))
    failures.check(status == 403 and b"origin" in body,
                   f"a POST from http:// is foreign: {status} {body!r}")
    failures.equal(upgrade_status(port, token, f"https://{HOST}:{port}"),
                   "HTTP/1.1 101 Switching Protocols", "wss:// from the page's origin")
    failures.check(upgrade_status(port, token, f"http://{HOST}:{port}").startswith("HTTP/1.1 403"),
                   "a WebSocket from an http:// origin is refused")
    failures.check(upgrade_status(port, "0" * 48, f"https://{HOST}:{port}")
                   .startswith("HTTP/1.1 401"), "a WebSocket without the token is refused")


def check_reload(failures, vornctl, state, work):
    """SIGHUP with --tls-cert/--tls-key: good pair, open connections, mismatched pair."""
    certificate, key, first = make_pair(work, "first")
    _, other_key, _ = make_pair(work, "other")
    serve = Serve(vornctl, state, f"{HOST}:0", "--tls-cert", certificate, "--tls-key", key,
                  lines=2)
    try:
        failures.equal(serve.line("certificate SHA-256 "), first, "the given certificate served")
        failures.equal(len(serve.lines), 2, "no authority line with a certificate given")
        port = serve.port
        status, _, _ = request(port, "GET", "/ca.crt")
        failures.equal(status, 404, "no /ca.crt without an authority of serve's own")
        open_tls = connect(port)
        try:
            # A new pair in the same files: new connections take it, the open one goes on.
            next_certificate, next_key, second = make_pair(work, "second")
            shutil.copyfile(next_certificate, certificate)
            shutil.copyfile(next_key, key)
            line = serve.reload("reloaded the certificate")
            failures.check(line and second in line, f"reload announced: {line!r}")
            failures.equal(served(port)[0], second, "new connections get the new certificate")
            failures.equal(fingerprints(port, serve.token),
                           (200, {"certificate": second, "authority": None}),
                           "the page is told the reloaded certificate's fingerprint")
            failures.equal(fingerprint_of(open_tls.getpeercert(binary_form=True)), first,
                           "the open connection keeps its certificate")
            open_tls.sendall(f"GET /ca.crt HTTP/1.1\r\nHost: {HOST}:{port}\r\n\r\n".encode())
            failures.check(open_tls.recv(100).startswith(b"HTTP/1.1 404"),
                           "the open connection goes on after the reload")
        finally:
            open_tls.close()
        # A key that is not the certificate's: the old pair stays, and stderr says why.
        shutil.copyfile(other_key, key)
        line = serve.reload("Error: reload")
        failures.check(line and key in line and "does not hold the key" in line,
                       f"a mismatched pair is refused naming the key file: {line!r}")
        failures.equal(served(port)[0], second, "the pair in use stays after a failed reload")
        failures.equal(serve.program.process.poll(), None, "serve goes on after a failed reload")
    finally:
        failures.equal(serve.stop(), 0, "serve's status after SIGTERM")

    # At start the same pair ends serve, naming the file.
    serve = Serve(vornctl, state, f"{HOST}:0", "--tls-cert", certificate, "--tls-key", key,
                  lines=1)
    status = serve.program.finish(20)
    failures.check(status not in (0, None) and serve.lines == [] and
                   any(key in line for line in serve.program.errors),
                   f"a mismatched pair at start: status {status}, {serve.program.errors}")


def adapter_addresses():
    """The IPv4 addresses of the namespace's interfaces but loopback, in the system's order."""
    listing = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True, text=True,
                             timeout=TIMEOUT, check=True).stdout
    return [fields[3].split("/")[0] for fields in (line.split() for line in listing.splitlines())
            if fields[1] != "lo"]


def check_wildcard(failures, vornctl, state):
    addresses = adapter_addresses()
    failures.equal(sorted(addresses), [HOST, OTHER], "the namespace's adapter addresses")
    serve = Serve(vornctl, state, "0.0.0.0:0", lines=len(addresses) + 2)
    try:
        port, token = serve.port, serve.token
        failures.equal(serve.lines[:len(addresses)],
                       [f"serving https://{address}:{port}/?token={token}"
                        for address in addresses],
                       "one serving line per adapter address, the first first")
        printed = serve.line("certificate SHA-256 ")
        authority = os.path.join(state, "vornctl", "tls", "authority.crt")
        with open(authority) as file:
            trusting = ssl.create_default_context(cadata=file.read())
        for address in addresses:
            failures.equal(served(port, trusting, host=address)[0], printed,
                           f"the certificate names {address}, verified")
            status, _, _ = request(port, "GET", "/api/interface",
                                   {"Authorization": f"Bearer {token}"}, trusting, host=address)
            failures.equal(status, 200, f"the API answers at {address}")
    finally:
        failures.equal(serve.stop(), 0, "the wildcard serve's status after SIGTERM")


def check_plain(failures, vornctl, state, work):
    """--insecure-http off loopback; loopback stays plain unless a certificate is given."""
    serve = Serve(vornctl, state, f"{HOST}:0", "--insecure-http", lines=1)
    try:
        failures.check(serve.lines and serve.lines[0].startswith(f"serving http://{HOST}:"),
                       f"--insecure-http serves plain HTTP: {serve.lines}")
        status, headers, _ = request(serve.port, "GET", f"/?token={serve.token}", plain=True)
        cookie = headers.get("Set-Cookie", "")
        failures.check(status == 303 and cookie and "Secure" not in cookie,
                       f"a plain cookie over plain HTTP: {status} {cookie!r}")
        failures.equal(serve.program.next_line(0.5), None, "no fingerprint over plain HTTP")
    finally:
        serve.stop()
    failures.check(any(l.startswith("Warning: serving plain HTTP") for l in serve.program.errors),
                   f"--insecure-http warns: {serve.program.errors}")

    serve = Serve(vornctl, state, "127.0.0.1:0", lines=1)
    serve.stop()
    failures.check(serve.lines and serve.lines[0].startswith("serving http://127.0.0.1:"),
                   f"loopback stays plain: {serve.lines}")
    certificate, key, fingerprint = make_pair(work, "loopback")
    serve = Serve(vornctl, state, "127.0.0.1:0", "--tls-cert", certificate, "--tls-key", key,
                  lines=2)
    try:
        failures.check(serve.lines[:1] and serve.lines[0].startswith("serving https://127.0.0.1:"),
                       f"loopback with a certificate is HTTPS: {serve.lines}")
        failures.equal(served(serve.port, host="127.0.0.1")[0], fingerprint,
                       "the given certificate on loopback")
    finally:
        serve.stop()


def run(vornctl, failures):
    work = tempfile.mkdtemp(prefix="vorn-tls-")
    state = os.path.join(work, "state")
    try:
        serve = Serve(vornctl, state, f"{HOST}:0")
        silent = None
        try:
            failures.check(re.fullmatch(rf"serving https://{HOST}:\d+/\?token=\S+",
                                        serve.lines[0] if serve.lines else ""),
                           f"the first line: {serve.lines}")
            printed = serve.line("certificate SHA-256 ")
            failures.check(printed and re.fullmatch(r"([0-9A-F]{2}:){31}[0-9A-F]{2}", printed),
                           f"the second line names the certificate's SHA-256: {serve.lines}")
            authority_line = serve.line("authority SHA-256 ")
            port = serve.port
            # Connected, and never a byte: closed at the handshake's deadline (5 s).
            silent = socket.create_connection((HOST, port), timeout=TIMEOUT)
            silent_since = time.monotonic()

            # The authority: without the token, the file serve keeps, the printed SHA-256.
            status, headers, authority = request(port, "GET", "/ca.crt")
            failures.equal(status, 200, "GET /ca.crt without the token")
            with open(os.path.join(state, "vornctl", "tls", "authority.crt"), "rb") as file:
                failures.equal(authority, file.read(), "/ca.crt is the authority's certificate")
            failures.equal(fingerprint_of(ssl.PEM_cert_to_DER_cert(authority.decode())),
                           authority_line, "the printed authority SHA-256")
            check_protocol(failures, port, printed, authority.decode())
            failures.equal(fingerprints(port, serve.token), (200, {
                "certificate": printed, "authority": authority_line}),
                "the fingerprints the page shows")
            failures.equal(fingerprints(port, "0" * 48)[0], 401, "the fingerprints need the token")
            check_rules(failures, port, serve.token)

            # Serve's own pair, reloaded: the same certificate.
            line = serve.reload("reloaded the certificate")
            failures.check(line and printed in line, f"a reload keeps the certificate: {line!r}")
            failures.equal(served(port)[0], printed, "served after the reload")

            answer = read_all(silent)
            failures.check(answer == b"" and time.monotonic() - silent_since < TIMEOUT + 2,
                           f"a connection that sends nothing is closed: {answer!r}")
        finally:
            if silent:
                silent.close()
            failures.equal(serve.stop(), 0, "serve's status after SIGTERM")

        serve = Serve(vornctl, state, f"{HOST}:0")
        serve.stop()
        failures.equal(serve.line("certificate SHA-256 "), printed,
                       "a restart keeps the certificate")
        failures.equal(serve.line("authority SHA-256 "), authority_line,
                       "a restart keeps the authority")
        failures.check(not any(l.startswith("Notice:") for l in serve.program.errors),
                       f"nothing issued anew on a restart: {serve.program.errors}")

        check_reload(failures, vornctl, state, work)
        check_wildcard(failures, vornctl, state)
        check_plain(failures, vornctl, state, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def main():
    vornctl, netns = processes.arguments(__doc__.rsplit("usage: ", 1)[1], 2)
    signal.signal(signal.SIGALRM, out_of_time)
    signal.alarm(WHOLE_TEST)
    check = subprocess.run([netns, "--check"], capture_output=True, text=True, timeout=TIMEOUT)
    if check.returncode != 0:
        fail_to_run("not in a private network namespace: " + check.stderr.strip())
    if HOST not in adapter_addresses():
        fail_to_run(f"{HOST} is not an address here: run under scripts/netns.sh --veth")
    failures = processes.Failures()
    start = time.monotonic()
    run(vornctl, failures)
    print(f"took {time.monotonic() - start:.1f} s", flush=True)
    failures.finish()


if __name__ == "__main__":
    main()
