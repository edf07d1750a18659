#!/usr/bin/env python3
"""vornctl serve with 1000 simulated devices: page load until every row is shown
(headless Chromium), a device's appearance until its row is shown, the CPU and
memory of 50 idle live-push clients, and the latency of serial number reads by
20 clients at once. Runs inside a private network namespace (bench/run.sh).

usage: serve_bench.py VORNCTL VORNSIM [--quick]"""

import base64
import calendar
import http.client
import json
import os
import re
import secrets
import shutil
import signal
import socket
import statistics
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools",
                                "testing"))
import processes  # noqa: E402

LATE_BASE = 0x0000090000000001  # devices that arrive while the page is open


def device_id(value):
    return f"{value >> 32:08x}:{value & 0xFFFFFFFF:08x}"


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as file:
        fields = file.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_bytes(pid):
    with open(f"/proc/{pid}/status") as file:
        for line in file:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


class LiveClient:
    """A WebSocket client of /api/events that reads what it gets and, when it
    records, keeps the time of each device's added event."""

    def __init__(self, port, token, record=False):
        self.record = record
        self.added = {}  # id -> the event's time, ms since the epoch
        self.buffer = b""
        self.message = b""  # the frames of a message so far
        self.socket = socket.create_connection(("127.0.0.1", port))
        key = base64.b64encode(secrets.token_bytes(16)).decode()
        self.socket.sendall((f"GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\n"
                             f"Upgrade: websocket\r\nConnection: Upgrade\r\n"
                             f"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: {key}\r\n"
                             f"Authorization: Bearer {token}\r\n\r\n").encode())
        head = b""
        while b"\r\n\r\n" not in head:
            chunk = self.socket.recv(4096)
            if not chunk:
                raise RuntimeError("the server closed the live-push connection")
            head += chunk
        if not head.startswith(b"HTTP/1.1 101"):
            raise RuntimeError(head.split(b"\r\n")[0].decode())
        self.received = 0
        self._take(head.split(b"\r\n\r\n", 1)[1])
        self.thread = threading.Thread(target=self._drain, daemon=False)
        self.thread.start()

    def _drain(self):
        while True:
            try:
                chunk = self.socket.recv(65536)
            except OSError:
                return
            if not chunk:
                return
            self._take(chunk)

    def _take(self, chunk):
        self.received += len(chunk)
        if not self.record:
            return
        self.buffer += chunk
        while len(self.buffer) >= 2:  # frames from the server are not masked
            size, start = self.buffer[1] & 0x7F, 2
            if size == 126:
                size, start = int.from_bytes(self.buffer[2:4], "big"), 4
            elif size == 127:
                size, start = int.from_bytes(self.buffer[2:10], "big"), 10
            if len(self.buffer) < start + size:
                return
            final = self.buffer[0] & 0x80
            self.message += self.buffer[start:start + size]
            self.buffer = self.buffer[start + size:]
            if not final:
                continue
            payload, self.message = self.message, b""
            for line in payload.decode().split("\n"):
                if line:
                    event = json.loads(line)
                    if event["event"] == "added":
                        self.added[event["id"]] = epoch_ms(event["time"])

    def close(self):
        try:
            self.socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.socket.close()
        self.thread.join()


def epoch_ms(text):
    """2026-12-07T14:28:05.587Z as milliseconds since the epoch."""
    stamp = calendar.timegm(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S"))
    return stamp * 1000.0 + int(text[20:23])


def browser(profile):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,860", f"--user-data-dir={profile}"):
        options.add_argument(argument)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


# Resolves with performance.now() (ms since the navigation began) once N rows are shown.
ROWS_SHOWN = """
const wanted = arguments[0], done = arguments[arguments.length - 1];
function look() {
  if (document.querySelectorAll('#devices tbody tr').length >= wanted) done(performance.now());
  else requestAnimationFrame(look);
}
look();
"""

# Records the wall-clock time each row appears at.
WATCH_ROWS = """
window.rowShown = {};
new MutationObserver((changes) => {
  const now = performance.timeOrigin + performance.now();
  for (const change of changes)
    for (const node of change.addedNodes)
      if (node.dataset && node.dataset.deviceId && !(node.dataset.deviceId in window.rowShown))
        window.rowShown[node.dataset.deviceId] = now;
}).observe(document.querySelector('#devices tbody'), {childList: true});
"""


def serial_reads(port, token, ids, rounds):
    latencies = []
    lock = threading.Lock()
    failures = []

    def client(device):
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        mine = []
        for _ in range(rounds):
            start = time.perf_counter()
            connection.request("GET", f"/api/devices/{device}/serial",
                               headers={"Authorization": f"Bearer {token}"})
            response = connection.getresponse()
            response.read()
            mine.append(time.perf_counter() - start)
            if response.status != 200:
                failures.append(response.status)
        connection.close()
        with lock:
            latencies.extend(mine)

    threads = [threading.Thread(target=client, args=(device,)) for device in ids]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return sorted(latencies), failures


def metrics_scrapes(port, token, rounds):
    """Seconds each GET /metrics took, over one kept-alive connection, sorted."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        connection.request("GET", "/metrics", headers={"Authorization": f"Bearer {token}"})
        response = connection.getresponse()
        body = response.read()
        times.append(time.perf_counter() - start)
        if response.status != 200 or b"vornctl_devices{" not in body:
            raise RuntimeError(f"GET /metrics answered {response.status}")
    connection.close()
    return sorted(times)


def percentile(values, share):
    return values[min(len(values) - 1, int(share * len(values)))]


def main():
    if len(sys.argv) not in (3, 4):
        print(__doc__, file=sys.stderr)
        return 2
    vornctl, vornsim = sys.argv[1:3]
    quick = len(sys.argv) == 4 and sys.argv[3] == "--quick"
    devices = 200 if quick else 1000
    late = 5 if quick else 20
    idle_seconds = 3 if quick else 10

    work = tempfile.mkdtemp(prefix="vorn-serve-bench-")
    late_ids = [device_id(LATE_BASE + i) for i in range(late)]
    specs = [f"id={i},type=12,name=Late {n},address=127.0.0.9,serial={n}"
             for n, i in enumerate(late_ids)]
    # Presence once a second, as real devices announce themselves.
    sim = processes.simulator(vornsim, specs,
                              ["--devices", str(devices), "--quiet", "--interval", "1000"])
    for device in late_ids:
        sim.send(f"gone {device} on")
    serve = processes.Program([vornctl, "--interface", "127.0.0.1", "serve", "--listen",
                               "127.0.0.1:0"], env=processes.environment())
    driver = None
    clients = []
    try:
        line = serve.next_line(30) or ""
        match = re.fullmatch(r"serving (http://127\.0\.0\.1:(\d+))/\?token=(\S+)", line)
        if not match:
            raise RuntimeError(f"vornctl serve printed {line!r}: {serve.errors}")
        origin, port, token = match.group(1), int(match.group(2)), match.group(3)
        pid = serve.process.pid
        # Every device known and named before the page loads.
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
            connection.request("GET", "/api/devices", headers={"Authorization": f"Bearer {token}"})
            listed = json.loads(connection.getresponse().read())["devices"]
            connection.close()
            if len(listed) == devices and all(d["name"] is not None for d in listed):
                break
            time.sleep(0.2)
        print(f"{devices} devices listed and named", flush=True)
        scrapes = metrics_scrapes(port, token, 20 if quick else 100)

        driver = browser(os.path.join(work, "profile"))
        loads = []
        for attempt in range(1 if quick else 3):
            driver.get(f"{origin}/?token={token}")
            shown = driver.execute_async_script(ROWS_SHOWN, devices)
            loads.append(shown)
            print(f"page load {attempt + 1}: every row of {devices} shown after {shown:.0f} ms",
                  flush=True)

        # Appearance: the engine's time of the added event to the row in the page.
        driver.execute_script(WATCH_ROWS)
        watcher = LiveClient(port, token, record=True)
        clients.append(watcher)
        appearances = []
        for device in late_ids:
            sim.send(f"gone {device} off")
            start = time.monotonic()
            row_time = added = None
            while time.monotonic() - start < 10:
                row_time = driver.execute_script("return window.rowShown[arguments[0]]", device)
                added = watcher.added.get(device)
                if row_time and added:
                    break
                time.sleep(0.02)
            if row_time and added:
                appearances.append(row_time - added)
        appearances.sort()
        watcher.close()
        clients = []

        # 50 idle live-push clients.
        cpu_before = cpu_seconds(pid)
        time.sleep(idle_seconds)
        idle_alone = (cpu_seconds(pid) - cpu_before) / idle_seconds
        rss_before = rss_bytes(pid)
        clients = [LiveClient(port, token) for _ in range(50)]
        time.sleep(2)  # the snapshots are sent
        rss_after = rss_bytes(pid)
        cpu_before = cpu_seconds(pid)
        time.sleep(idle_seconds)
        idle_clients = (cpu_seconds(pid) - cpu_before) / idle_seconds
        for client in clients:
            client.close()
        clients = []

        ids = [device_id(0x0000010000000001 + i) for i in range(20)]
        latencies, failed = serial_reads(port, token, ids, 10 if quick else 50)

        load = statistics.median(loads)
        print(f"page load to every row ({devices} devices): median {load:.0f} ms of "
              f"{len(loads)} (target 1000 ms)")
        if appearances:
            print(f"appearance to row ({len(appearances)} devices): median "
                  f"{statistics.median(appearances):.1f} ms, max {appearances[-1]:.1f} ms "
                  f"(target 100 ms median)")
        print(f"idle CPU with {devices} devices: {idle_alone * 100:.2f} % of a core alone, "
              f"{idle_clients * 100:.2f} % with 50 live-push clients (target under 1 %)")
        print(f"memory per live-push client: {(rss_after - rss_before) / 50 / 1024:.0f} KiB "
              f"(resident set, 50 clients)")
        print(f"serial reads, 20 clients at once: {len(latencies)} reads, median "
              f"{statistics.median(latencies) * 1000:.1f} ms, p99 "
              f"{percentile(latencies, 0.99) * 1000:.1f} ms, max {latencies[-1] * 1000:.1f} ms, "
              f"{len(failed)} failed")
        print(f"metrics scrape ({devices} devices): median "
              f"{statistics.median(scrapes) * 1000:.2f} ms, max {scrapes[-1] * 1000:.2f} ms "
              f"of {len(scrapes)} (target 20 ms)")
        print(f"summary serve: rows {load:.0f} ms; appearance median "
              f"{statistics.median(appearances) if appearances else float('nan'):.1f} ms; "
              f"idle {idle_clients * 100:.2f} % with 50 clients; "
              f"{(rss_after - rss_before) / 50 / 1024:.0f} KiB per client; reads median "
              f"{statistics.median(latencies) * 1000:.1f} ms; scrape median "
              f"{statistics.median(scrapes) * 1000:.2f} ms")
        missed = [f"page load {load:.0f} ms (target 1000 ms)" if load > 1000 else None,
                  f"idle {idle_clients * 100:.2f} % of a core with 50 clients (target under 1 %)"
                  if idle_clients >= 0.01 else None,
                  f"metrics scrape median {statistics.median(scrapes) * 1000:.2f} ms (target 20 ms)"
                  if statistics.median(scrapes) > 0.02 else None]
        if appearances and statistics.median(appearances) > 100:
            missed.append(f"appearance median {statistics.median(appearances):.1f} ms "
                          "(target 100 ms)")
        for line in filter(None, missed):
            print(f"MISSED: {line}")
        return 0 if not failed and not any(missed) else 1
    finally:
        for client in clients:
            client.close()
        if driver:
            driver.quit()
        serve.process.send_signal(signal.SIGTERM)
        serve.finish(30)
        processes.stop_simulator(sim)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
