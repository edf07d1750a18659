"""What the benchmarks of vornctl serve share: serve started and its link read,
its resident memory and CPU time, and a client that does what a browser does
(the token link, the page's files with the cookie, the API, the live push over
a WebSocket), over plain HTTP or HTTPS, from a source address of its choice.
Every wait has a deadline; nothing here sends beyond the namespace's own
addresses (loopback and the veth pair of scripts/netns.sh --veth)."""

import base64
import json
import os
import re
import secrets
import socket
import ssl
import subprocess
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools",
                                "testing"))
import processes  # noqa: E402,F401  (re-exported for the benchmarks)

# The veth pair's addresses (scripts/netns.sh --veth): serve listens on the first.
SERVE_HOST = "192.0.2.1"
PAGE_FILES = ("/", "/style.css", "/app.js", "/icon.svg")


def add_addresses(*addresses):
    """More addresses on the namespace's vorn1 (a stranger and a tablet apart)."""
    for address in addresses:
        subprocess.run(["ip", "addr", "add", f"{address}/24", "dev", "vorn1"], check=True)


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as file:
        for line in file:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as file:
        fields = file.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))] if ordered else float("nan")


class Serve:
    """vornctl serve on HOST:0 (plain or HTTPS, as serve decides for HOST and
    `extra`), engine on 127.0.0.1; its link, token and certificate authority."""

    def __init__(self, vornctl, host, extra=()):
        self.program = processes.Program(
            [vornctl, "--interface", "127.0.0.1", "serve", "--listen", f"{host}:0", *extra],
            env=processes.environment())
        try:
            line = self.program.next_line(60) or ""
            match = re.fullmatch(r"serving (https?)://([0-9.]+):(\d+)/\?token=(\S+)", line)
            if not match:
                raise RuntimeError(f"vornctl serve printed {line!r}: {self.program.errors}")
            self.secure = match.group(1) == "https"
            self.host, self.port, self.token = match.group(2), int(match.group(3)), match.group(4)
            self.origin = f"{match.group(1)}://{self.host}:{self.port}"
            self.pid = self.program.process.pid
            self.context = None
            if self.secure:
                # The authority as a tablet would install it: GET /ca.crt, no token.
                bare = ssl.create_default_context()
                bare.check_hostname = False
                bare.verify_mode = ssl.CERT_NONE
                status, _, body = Client(self, context=bare).request("GET", "/ca.crt", auth=False)
                if status != 200:
                    raise RuntimeError(f"GET /ca.crt answered {status}")
                self.context = ssl.create_default_context(cadata=body.decode())
        except BaseException:
            self.stop()
            raise

    def wait_listed(self, count, timeout, named=True):
        """Until GET /api/devices lists `count` devices (named ones); the list."""
        deadline = time.monotonic() + timeout
        client = Client(self)
        try:
            while True:
                listed = client.json("GET", "/api/devices")["devices"]
                if len([d for d in listed if d["name"] is not None or not named]) >= count:
                    return listed
                if time.monotonic() > deadline:
                    raise RuntimeError(f"{len(listed)} of {count} devices listed after "
                                       f"{timeout} s")
                time.sleep(0.3)
        finally:
            client.close()

    def stop(self):
        if self.program.process.poll() is None:
            self.program.process.terminate()
        if self.program.finish(20) is None:
            print("vornctl serve did not end within 20 s of SIGTERM: killed", flush=True)


class Client:
    """One kept-alive HTTP/1.1 connection to serve, like a browser's, opened
    on first use (again after the server closed it). With auth, requests carry
    the cookie once the token link was followed, else the bearer token."""

    def __init__(self, serve, source="", context=None, timeout=30, session=None):
        self.serve, self.source, self.timeout = serve, source, timeout
        self.context = context or serve.context
        self.session = session  # TLS: resumed, as a browser does for its next connections
        self.sock = None
        self.buffer = b""
        self.cookie = None
        self.connections = 0

    def _open(self):
        raw = socket.create_connection((self.serve.host, self.serve.port), self.timeout,
                                       (self.source, 0) if self.source else None)
        if self.serve.secure:
            raw = self.context.wrap_socket(raw, server_hostname=self.serve.host,
                                           session=self.session)
        self.sock, self.buffer = raw, b""
        self.connections += 1

    def tls_session(self):
        """The TLS session of the open connection (None without TLS)."""
        return self.sock.session if self.sock and self.serve.secure else None

    def close(self):
        if self.sock:
            try:
                self.sock.close()
            except OSError:
                pass
        self.sock = None

    def _read_until(self, marker):
        while marker not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("serve closed the connection")
            self.buffer += chunk
        head, self.buffer = self.buffer.split(marker, 1)
        return head

    def _read_exactly(self, size):
        while len(self.buffer) < size:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("serve closed the connection")
            self.buffer += chunk
        body, self.buffer = self.buffer[:size], self.buffer[size:]
        return body

    def headers(self, auth=True, write=False):
        lines = [f"Host: {self.serve.host}:{self.serve.port}", "Accept-Encoding: gzip"]
        if auth and self.cookie:
            lines.append(f"Cookie: {self.cookie}")
            if write:
                lines.append(f"Origin: {self.serve.origin}")
        elif auth:
            lines.append(f"Authorization: Bearer {self.serve.token}")
        return lines

    def request(self, method, target, body=None, auth=True):
        """(status, headers as a dict of lower-case names, body)."""
        lines = [f"{method} {target} HTTP/1.1", *self.headers(auth, body is not None)]
        payload = b""
        if body is not None:
            payload = body.encode()
            lines += ["Content-Type: application/json", f"Content-Length: {len(payload)}"]
        data = ("\r\n".join(lines) + "\r\n\r\n").encode() + payload
        for attempt in (0, 1):  # a kept-alive connection the server closed meanwhile
            fresh = self.sock is None
            if fresh:
                self._open()
            try:
                self.sock.sendall(data)
                head = self._read_until(b"\r\n\r\n").decode("latin-1").split("\r\n")
                break
            except (ConnectionError, ssl.SSLError, OSError):
                self.close()
                if fresh or attempt:
                    raise
        status = int(head[0].split()[1])
        fields = {}
        for line in head[1:]:
            name, _, value = line.partition(":")
            fields[name.strip().lower()] = value.strip()
        answer = b""
        if method != "HEAD":
            answer = self._read_exactly(int(fields.get("content-length", "0")))
        if fields.get("connection", "").lower() == "close":
            self.close()
        return status, fields, answer

    def json(self, method, target, body=None):
        status, _, answer = self.request(method, target, body)
        if status != 200:
            raise RuntimeError(f"{method} {target} answered {status}: {answer[:200]!r}")
        return json.loads(answer)

    def follow_link(self):
        """GET /?token=...: the answer's cookie is kept for the requests after."""
        status, fields, _ = self.request("GET", f"/?token={self.serve.token}", auth=False)
        if status != 303 or "set-cookie" not in fields:
            raise RuntimeError(f"the token link answered {status}")
        self.cookie = fields["set-cookie"].split(";", 1)[0]

    def load_page(self):
        """What a browser fetches for the page, in its order, on this
        connection: the link, the page's files, the adapter, the device list.
        Returns the number of devices listed; raises on any answer but 200."""
        self.follow_link()
        for target in PAGE_FILES:
            status, _, _ = self.request("GET", target)
            if status != 200:
                raise RuntimeError(f"GET {target} answered {status}")
        self.json("GET", "/api/interface")
        return len(self.json("GET", "/api/devices")["devices"])


class LivePush:
    """The page's live push: a WebSocket on /api/events with the cookie (or
    the token) and the page's Origin; counts the devices its events added."""

    def __init__(self, serve, source="", cookie=None, timeout=30, session=None):
        self.client = Client(serve, source, timeout=timeout, session=session)
        self.client.cookie = cookie
        self.client._open()
        key = base64.b64encode(secrets.token_bytes(16)).decode()
        lines = ["GET /api/events HTTP/1.1", *self.client.headers(write=True),
                 "Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13",
                 f"Sec-WebSocket-Key: {key}", f"Origin: {serve.origin}"]
        self.client.sock.sendall(("\r\n".join(dict.fromkeys(lines)) + "\r\n\r\n").encode())
        status = self.client._read_until(b"\r\n\r\n").split(b"\r\n", 1)[0]
        if not status.startswith(b"HTTP/1.1 101"):
            self.client.close()
            raise RuntimeError(f"the live push was answered {status.decode()}")
        self.added = set()
        self.closed_code = None
        self.pongs = 0

    def _frame(self):
        """(final, opcode, payload) of the next frame from the server (never masked)."""
        first, second = self.client._read_exactly(2)
        size = second & 0x7F
        if size == 126:
            size = int.from_bytes(self.client._read_exactly(2), "big")
        elif size == 127:
            size = int.from_bytes(self.client._read_exactly(8), "big")
        return bool(first & 0x80), first & 0x0F, self.client._read_exactly(size)

    def read_until(self, predicate, timeout):
        """Reads events until predicate(self) holds; False at the deadline or
        when serve closed the live push (closed_code then says how)."""
        deadline = time.monotonic() + timeout
        message = b""
        while not predicate(self):
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            self.client.sock.settimeout(left)
            try:
                final, opcode, payload = self._frame()
            except (socket.timeout, ssl.SSLError, ConnectionError, OSError):
                return predicate(self)
            if opcode == 0x8:
                self.closed_code = int.from_bytes(payload[:2], "big") if payload else 1005
                return False
            if opcode == 0xA:
                self.pongs += 1
                continue
            if opcode not in (0x0, 0x1):
                continue
            message += payload
            if final:
                text, message = message.decode(), b""
                for line in text.split("\n"):
                    if line:
                        event = json.loads(line)
                        if event.get("event") == "added":
                            self.added.add(event["id"])
        return True

    def ping(self, timeout):
        """True when serve answers a ping within the time: the push is alive."""
        before = self.pongs
        mask = secrets.token_bytes(4)
        payload = b"alive"
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
        self.client.sock.sendall(bytes([0x89, 0x80 | len(payload)]) + mask + masked)
        return self.read_until(lambda push: push.pongs > before, timeout)

    def close(self):
        self.client.close()
