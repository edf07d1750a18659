#!/usr/bin/python3
"""vornctl serve over HTTPS as a program, on the veth pair of a private namespace:
versions and suites, the fingerprint printed = served, a client that trusts the
authority verifying fully, plain HTTP refused, a restart keeping the certificate,
SIGHUP with a good and a mismatched pair."""
import hashlib, os, shutil, signal, socket, ssl, subprocess, sys, tempfile, time

VORNCTL, NETNS = sys.argv[1], sys.argv[2]
if os.environ.get("VORN_NETNS_INSIDE") != "1":
    sys.exit(subprocess.call([NETNS, "--veth", "--", sys.executable, *sys.argv]))
if subprocess.call([NETNS, "--check"]) != 0:
    sys.exit(1)
HOST, PORT = "192.0.2.1", 8443
failures = []
def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, flush=True)

def start(state, *extra, lines=3):
    env = dict(os.environ, XDG_STATE_HOME=state)
    p = subprocess.Popen([VORNCTL, "serve", "--interface", HOST, "--listen", f"{HOST}:{PORT}", *extra],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    return p, [p.stdout.readline().strip() for _ in range(lines)]

def stop(p):
    p.send_signal(signal.SIGTERM)
    p.wait(timeout=20)

def served_fingerprint(context=None):
    context = context or ssl._create_unverified_context()
    with socket.create_connection((HOST, PORT), timeout=10) as raw:
        with context.wrap_socket(raw, server_hostname=HOST) as tls:
            der = tls.getpeercert(binary_form=True)
            return ":".join(f"{b:02X}" for b in hashlib.sha256(der).digest()), tls.version(), tls.cipher()

state = tempfile.mkdtemp()
try:
    p, lines = start(state)
    check(lines[0].startswith(f"serving https://{HOST}:{PORT}/?token="), f"first line {lines[0]}")
    printed = lines[1].removeprefix("certificate SHA-256 ")
    check(lines[2].startswith("authority SHA-256 "), f"third line {lines[2]}")
    fingerprint, version, cipher = served_fingerprint()
    check(fingerprint == printed, "the printed fingerprint is the served one")
    check(version in ("TLSv1.2", "TLSv1.3") and ("GCM" in cipher[0] or "CHACHA20" in cipher[0]),
          f"version {version} cipher {cipher}")
    # A client trusting the authority verifies name and chain.
    authority = os.path.join(state, "vornctl", "tls", "authority.crt")
    trusting = ssl.create_default_context(cafile=authority)
    check(served_fingerprint(trusting)[0] == printed, "verified by the authority")
    try:
        with socket.create_connection((HOST, PORT), timeout=10) as raw:
            trusting.wrap_socket(raw, server_hostname="other.example")
        check(False, "a wrong name is refused")
    except ssl.SSLCertVerificationError:
        pass
    # TLS 1.0, 1.1 and suites without ECDHE or AEAD are refused.
    for version in (ssl.TLSVersion.TLSv1, ssl.TLSVersion.TLSv1_1):
        old = ssl._create_unverified_context()
        old.set_ciphers("ALL:@SECLEVEL=0")
        old.minimum_version = old.maximum_version = version
        try:
            served_fingerprint(old)
            check(False, f"{version} refused")
        except (ssl.SSLError, ConnectionError):
            pass
    weak = ssl._create_unverified_context()
    weak.maximum_version = ssl.TLSVersion.TLSv1_2
    weak.set_ciphers("AES128-SHA:ECDHE-ECDSA-AES128-SHA")
    try:
        served_fingerprint(weak)
        check(False, "CBC and RSA key exchange refused")
    except (ssl.SSLError, ConnectionError):
        pass
    # Plain HTTP to the TLS port: no answer.
    with socket.create_connection((HOST, PORT), timeout=10) as raw:
        raw.sendall(f"GET /ca.crt HTTP/1.1\r\nHost: {HOST}:{PORT}\r\n\r\n".encode())
        data = b""
        try:
            while chunk := raw.recv(4096):
                data += chunk
        except ConnectionError:
            pass
        check(b"HTTP/1.1 200" not in data and b"BEGIN CERTIFICATE" not in data, "plain HTTP refused")
    # SIGHUP: an open connection goes on; the certificate is reused.
    open_conn = socket.create_connection((HOST, PORT), timeout=10)
    open_tls = ssl._create_unverified_context().wrap_socket(open_conn, server_hostname=HOST)
    p.send_signal(signal.SIGHUP)
    err = ""
    while "reloaded" not in err:
        err += p.stderr.readline()
    check(served_fingerprint()[0] == printed, "a reload keeps a good certificate")
    open_tls.sendall(f"GET /ca.crt HTTP/1.1\r\nHost: {HOST}:{PORT}\r\n\r\n".encode())
    check(open_tls.recv(100).startswith(b"HTTP/1.1 200"), "an open connection goes on")
    open_tls.close()
    stop(p)
    # A restart keeps the certificate.
    p, lines = start(state)
    check(lines[1] == "certificate SHA-256 " + printed, "a restart keeps the certificate")
    stop(p)
    # --insecure-http: plain HTTP with a warning.
    p, lines = start(state, "--insecure-http", lines=1)
    check(lines[0].startswith(f"serving http://{HOST}:{PORT}/"), f"insecure {lines[0]}")
    stop(p)
    check("Warning" in p.stderr.read(), "--insecure-http warns")
finally:
    shutil.rmtree(state, ignore_errors=True)
print("FAILED" if failures else "passed", len(failures))
sys.exit(1 if failures else 0)
