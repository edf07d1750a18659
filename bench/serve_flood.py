#!/usr/bin/env python3
"""vornctl serve under a presence flood: FloodSend announces RATE new random
IDs of a serviced product per second for SECONDS s (from 127.0.0.3 to serve's
UDP port, loopback inside the namespace), next to one real simulated device
that answers. Measured: serve's resident memory before, at its peak, its
plateau (the highest sample of the flood's last third against the third
before it: a bound that holds stops growing), at the end of the flood and a minute after
it; the device list's answer time during the flood; whether the real device
stayed listed and named and its serial number could be read, every second;
the dropped count the API reports; the rate FloodSend reached.

Every wait is bounded: the flood ends after SECONDS whatever rate was reached;
a list request not answered within 10 s counts as a failure; when serve's
resident memory passes --guard MiB (default 1024) the flood is stopped there
and the run fails (the bound did not hold). Each missed target is printed as a
line "MISSED: ..." and makes the exit status 1: memory still growing in the
flood's last third (more than 10 % and 16 MiB over the highest of the third before),
memory a minute after the flood more than 48 MiB over where it started, the
real device missing, unnamed or unread once. Runs inside a private network
namespace (bench/run.sh, scripts/netns.sh); the test suite runs it short.

usage: serve_flood.py VORNCTL VORNSIM FLOODSEND [--rate N] [--seconds S] [--guard MIB]
                      [--after S]"""

import os
import subprocess
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serve_support  # noqa: E402
from serve_support import Client, Serve, percentile, rss_mib  # noqa: E402

processes = serve_support.processes
REAL = "0000000a:0000000b"
REAL_SERIAL = 20261207
LIFETIME = 10  # seconds a device is listed after its last presence
GROWTH_SLACK = (1.10, 16)  # the plateau may pass the middle third's highest by 10 % and 16 MiB
RETURN_SLACK = 48  # MiB over the start a minute after the flood (see bench/README.md)


def udp_port(pid):
    """The UDP port the process listens on (its engine's endpoint)."""
    listing = subprocess.run(["ss", "-uanpH"], capture_output=True, text=True, check=True,
                             timeout=10).stdout
    for line in listing.splitlines():
        if f"pid={pid}," in line:
            return int(line.split()[3].rsplit(":", 1)[1])
    raise RuntimeError("serve's UDP port was not found")


def listing(serve):
    """(seconds the answer took, the answer) of GET /api/devices on a new
    connection; (None, None) without an answer within 10 s."""
    client = Client(serve, timeout=10)
    start = time.monotonic()
    try:
        body = client.json("GET", "/api/devices")
        return time.monotonic() - start, body
    except (OSError, RuntimeError, ValueError):
        return None, None
    finally:
        client.close()


def real_named(body):
    return body is not None and any(d["id"] == REAL and d["name"] for d in body["devices"])


def real_serial(serve):
    """Whether the real device's serial number was read, within 10 s."""
    client = Client(serve, timeout=10)
    try:
        return client.json("GET", f"/api/devices/{REAL}/serial").get("serial") == REAL_SERIAL
    except (OSError, RuntimeError, ValueError):
        return False
    finally:
        client.close()


def main():
    args = sys.argv[1:]
    options = {"--rate": 100000, "--seconds": 60, "--guard": 1024, "--after": 60}
    while len(args) > 3 and args[-2] in options:
        options[args[-2]] = int(args[-1])
        args = args[:-2]
    if len(args) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    vornctl, vornsim, floodsend = args
    rate, seconds, guard = options["--rate"], options["--seconds"], options["--guard"]
    after_seconds = options["--after"]
    processes.require_test_namespace(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                  "..", "scripts", "netns.sh"))

    sim = processes.simulator(vornsim, [f"id={REAL},type=12,name=Real device,"
                                        "address=127.0.0.2,serial=20261207"],
                              ["--interval", "1000"])
    serve = sender = None
    try:
        serve = Serve(vornctl, "127.0.0.1")
        serve.wait_listed(1, 30)
        tool_port = udp_port(serve.pid)
        time.sleep(2)
        before = rss_mib(serve.pid)

        sender = subprocess.Popen([floodsend, "--port", str(tool_port), "--rate", str(rate),
                                   "--seconds", str(seconds)], stdout=subprocess.PIPE, text=True)
        peak, times, unanswered, lost, unread, samples, guarded = before, [], 0, 0, 0, 0, None
        memory = []  # (seconds into the flood, resident MiB)
        start = time.monotonic()
        while sender.poll() is None and time.monotonic() - start < seconds + 30:
            took, body = listing(serve)
            samples += 1
            if took is None:
                unanswered += 1
            else:
                times.append(took)
            if not real_named(body):
                lost += 1
            if not real_serial(serve):
                unread += 1
            deadline = time.monotonic() + 1
            while time.monotonic() < deadline and sender.poll() is None:
                resident = rss_mib(serve.pid)
                memory.append((time.monotonic() - start, resident))
                peak = max(peak, resident)
                if peak > guard and guarded is None:
                    guarded = time.monotonic() - start
                    sender.terminate()
                time.sleep(0.1)
        if sender.poll() is None:
            sender.kill()
        sent = sender.communicate(timeout=30)[0].strip() or "FloodSend: stopped"
        flood_took = time.monotonic() - start
        at_end = rss_mib(serve.pid)
        peak = max(peak, at_end)
        _, body = listing(serve)
        listed_at_end = len(body["devices"]) if body else None
        dropped = body.get("dropped") if body else None
        # A minute after the flood; the memory meanwhile.
        settle = time.monotonic() + after_seconds
        while time.monotonic() < settle:
            peak = max(peak, rss_mib(serve.pid))
            time.sleep(0.5)
        after = rss_mib(serve.pid)
        took_after, body = listing(serve)
        real_after = real_named(body) and real_serial(serve)
        # The bounds fill at the pace the machine allows: the flood's first third is the
        # filling, its last third the plateau, set against the third before it.
        third = flood_took / 3
        middle = max((m for t, m in memory if third <= t < 2 * third), default=before)
        plateau = max((m for t, m in memory if t >= 2 * third), default=before)

        print(sent)
        if guarded is not None:
            print(f"FLOOD STOPPED after {guarded:.1f} s: serve's resident memory passed the "
                  f"guard of {guard} MiB")
        print(f"serve resident memory: {before:.1f} MiB before, peak {peak:.1f} MiB, highest "
              f"{middle:.1f} MiB in the flood's middle third and {plateau:.1f} MiB in its "
              f"last (the plateau), {at_end:.1f} MiB at the end ({flood_took:.0f} s), "
              f"{after:.1f} MiB {after_seconds} s after the flood")
        print(f"device list during the flood: {len(times)} of {samples} answered within 10 s, "
              f"median {percentile(times, 0.5):.3f} s, slowest "
              f"{max(times) if times else float('nan'):.3f} s; real device missing or unnamed in "
              f"{lost}, its serial number unread in {unread}; at the end {listed_at_end} listed, {dropped} dropped; 15 s after: "
              f"{len(body['devices']) if body else None} listed (answer "
              f"{took_after if took_after is not None else float('nan'):.3f} s), real device "
              f"{'listed' if real_after else 'MISSING'}")
        print(f"summary serve_flood {rate}/s x {seconds} s: RSS {before:.1f} -> peak {peak:.1f} "
              f"MiB, plateau {plateau:.1f} MiB ({after:.1f} MiB {after_seconds} s after)"
              f"{' GUARD HIT' if guarded is not None else ''}, "
              f"list slowest {max(times) if times else float('nan'):.2f} s, "
              f"{unanswered} unanswered, real device kept {samples - lost}/{samples}, "
              f"read {samples - unread}/{samples}")
        missed = []
        if plateau > middle * GROWTH_SLACK[0] and plateau > middle + GROWTH_SLACK[1]:
            missed.append(f"memory still growing: {plateau:.1f} MiB in the flood's last third "
                          f"against {middle:.1f} MiB in the third before")
        if after > before + RETURN_SLACK:
            missed.append(f"memory not given back: {after:.1f} MiB {after_seconds} s after the "
                          f"flood, {before:.1f} MiB before it")
        if lost or unread or not real_after:
            missed.append(f"real device missing or unnamed in {lost}, unread in {unread} of "
                          f"{samples} samples{'' if real_after else ', and after the flood'}")
        if unanswered:
            missed.append(f"device list unanswered within 10 s {unanswered} times")
        for line in missed:
            print(f"MISSED: {line}")
        return 0 if not missed and guarded is None else 1
    finally:
        if sender and sender.poll() is None:
            sender.kill()
            sender.wait()
        if serve:
            serve.stop()
        processes.stop_simulator(sim)


if __name__ == "__main__":
    sys.exit(main())
