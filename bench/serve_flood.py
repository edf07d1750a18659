#!/usr/bin/env python3
"""vornctl serve under a presence flood: FloodSend announces RATE new random
IDs of a serviced product per second for SECONDS s (from 127.0.0.3 to serve's
UDP port, loopback inside the namespace), next to one real simulated device.
Measured: serve's resident memory before, at its peak, at the end and 15 s
after; the device list's answer time during the flood (largest); whether the
real device stayed listed and named; the dropped count the API reports.
Runs inside a private network namespace (bench/run.sh, scripts/netns.sh).

usage: serve_flood.py VORNCTL VORNSIM FLOODSEND NETNS_SCRIPT [--rate N] [--seconds S]"""

import http.client
import json
import os
import re
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools",
                                "testing"))
import processes  # noqa: E402

REAL = "0000000a:0000000b"


def rss_mib(pid):
    with open(f"/proc/{pid}/status") as file:
        for line in file:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def udp_port(pid):
    """The UDP port the process listens on (its engine's endpoint)."""
    listing = subprocess.run(["ss", "-uanpH"], capture_output=True, text=True, check=True).stdout
    for line in listing.splitlines():
        if f"pid={pid}," in line:
            return int(line.split()[3].rsplit(":", 1)[1])
    return None


def devices(port, token):
    """(seconds the answer took, the answer) of GET /api/devices."""
    start = time.monotonic()
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    connection.request("GET", "/api/devices", headers={"Authorization": f"Bearer {token}"})
    body = json.loads(connection.getresponse().read())
    connection.close()
    return time.monotonic() - start, body


def main():
    args = sys.argv[1:]
    options = {"--rate": 100000, "--seconds": 60}
    while len(args) > 4 and args[-2] in options:
        options[args[-2]] = int(args[-1])
        args = args[:-2]
    if len(args) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    vornctl, vornsim, floodsend, netns = args
    rate, seconds = options["--rate"], options["--seconds"]
    processes.require_test_namespace(netns)

    sim = processes.simulator(vornsim, [f"id={REAL},type=12,name=Real device,"
                                        "address=127.0.0.2,serial=20261207"],
                              ["--interval", "1000"])
    serve = processes.Program([vornctl, "--interface", "127.0.0.1", "serve", "--listen",
                               "127.0.0.1:0"], env=processes.environment())
    try:
        line = serve.next_line(30) or ""
        match = re.fullmatch(r"serving http://127\.0\.0\.1:(\d+)/\?token=(\S+)", line)
        if not match:
            raise RuntimeError(f"vornctl serve printed {line!r}: {serve.errors}")
        port, token = int(match.group(1)), match.group(2)
        pid = serve.process.pid
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            listed = devices(port, token)[1]["devices"]
            if any(d["id"] == REAL and d["name"] for d in listed):
                break
            time.sleep(0.2)
        else:
            raise RuntimeError("the real device was not listed and named within 30 s")
        tool_port = udp_port(pid)
        time.sleep(2)
        before = rss_mib(pid)

        sender = subprocess.Popen([floodsend, "--port", str(tool_port), "--rate", str(rate),
                                   "--seconds", str(seconds)], stdout=subprocess.PIPE, text=True)
        peak, slowest, lost, samples = before, 0.0, 0, 0
        while sender.poll() is None:
            took, body = devices(port, token)
            slowest = max(slowest, took)
            samples += 1
            if not any(d["id"] == REAL and d["name"] for d in body["devices"]):
                lost += 1
            deadline = time.monotonic() + 1
            while time.monotonic() < deadline and sender.poll() is None:
                peak = max(peak, rss_mib(pid))
                time.sleep(0.1)
        sent = sender.communicate()[0].strip()
        at_end = rss_mib(pid)
        peak = max(peak, at_end)
        took, body = devices(port, token)
        listed_at_end, dropped = len(body["devices"]), body.get("dropped")
        time.sleep(15)
        after = rss_mib(pid)
        took_after, body = devices(port, token)
        real_after = any(d["id"] == REAL and d["name"] for d in body["devices"])

        print(sent)
        print(f"serve resident memory: {before:.1f} MiB before, peak {peak:.1f} MiB, "
              f"{at_end:.1f} MiB at the end, {after:.1f} MiB 15 s after")
        print(f"device list during the flood: {samples} answers, slowest {slowest:.3f} s; real "
              f"device missing or unnamed in {lost}; at the end {listed_at_end} listed, "
              f"{dropped} dropped; 15 s after: {len(body['devices'])} listed "
              f"(answer {took_after:.3f} s), real device {'listed' if real_after else 'MISSING'}")
        print(f"summary serve_flood {rate}/s x {seconds} s: RSS {before:.1f} -> peak {peak:.1f} "
              f"MiB ({after:.1f} MiB 15 s after), slowest list {slowest:.2f} s, "
              f"real device kept {samples - lost}/{samples}")
        return 0 if lost == 0 and real_after else 1
    finally:
        serve.process.terminate()
        serve.finish(20)
        processes.stop_simulator(sim)


if __name__ == "__main__":
    sys.exit(main())
