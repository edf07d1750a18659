#!/usr/bin/env python3
"""vornctl serve while a stranger on the segment holds connections: one address
(192.0.2.3) holds 200 connections without the token and opens a new one as soon
as serve closes one; meanwhile a tablet (192.0.2.4) with the token keeps the
page's live push open and, again and again, loads the page (token link, the
page's files, /api/interface, /api/devices), writes a serial number and reads
it back. Measured: the tablet's answers (how many succeeded) and their
latencies, whether its live push stayed open (pings answered), and how many
connections the stranger opened. serve listens on 192.0.2.1 with HTTPS (its
default off loopback; --insecure-http: plain HTTP). Runs inside a private
network namespace with the veth pair (scripts/netns.sh --veth; bench/run.sh).

usage: serve_stranger.py VORNCTL VORNSIM [--quick] [--insecure-http]"""

import asyncio
import json
import os
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serve_support  # noqa: E402
from serve_support import Client, LivePush, Serve, percentile  # noqa: E402

processes = serve_support.processes
STRANGER, TABLET = "192.0.2.3", "192.0.2.4"
DEVICE = "0000000a:0000000b"


async def hold(host, port, seconds, held=200):
    """The stranger: `held` connections that send nothing, each reopened when
    serve closes it, until the time is up. Prints what it did as JSON."""
    deadline = time.monotonic() + seconds
    opened = refused = 0

    async def one():
        nonlocal opened, refused
        while time.monotonic() < deadline:
            try:
                reader, writer = await asyncio.wait_for(
                    asyncio.open_connection(host, port, local_addr=(STRANGER, 0)), 5)
            except (OSError, asyncio.TimeoutError):
                refused += 1
                await asyncio.sleep(0.01)
                continue
            opened += 1
            try:
                await asyncio.wait_for(reader.read(), max(0.0, deadline - time.monotonic()))
            except (OSError, asyncio.TimeoutError):
                pass
            writer.close()

    await asyncio.gather(*(one() for _ in range(held)))
    print(json.dumps({"opened": opened, "refused": refused}), flush=True)


def tablet(serve, seconds, failures):
    """The tablet's rounds until the time is up: {what: [latencies]} of the
    answers that succeeded; failures get (what, reason)."""
    latencies = {"link": [], "page": [], "api": [], "write": []}
    number = 30000000

    def timed(kind, what, call):
        start = time.perf_counter()
        try:
            ok, reason = call()
        except (OSError, RuntimeError, ValueError) as error:
            ok, reason = False, str(error)
        if ok:
            latencies[kind].append(time.perf_counter() - start)
        else:
            failures.append((what, reason))
        return ok

    def status_of(client, method, target, body=None, expect=200):
        status, _, answer = client.request(method, target, body)
        return status == expect, f"{status} {answer[:120]!r}"

    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        client = Client(serve, TABLET, timeout=15)
        try:
            # The token link on a new connection (over TLS its handshake too).
            if not timed("link", "token link", lambda: (client.follow_link(), (True, ""))[1]):
                continue
            for target in serve_support.PAGE_FILES:
                timed("page", target, lambda: status_of(client, "GET", target))
            for target in ("/api/interface", "/api/devices"):
                timed("api", target, lambda: status_of(client, "GET", target))
            number += 1
            body = json.dumps({"serial": number, "repeat": number})
            timed("write", "PUT serial",
                  lambda: status_of(client, "PUT", f"/api/devices/{DEVICE}/serial", body))

            def read_back():
                status, _, answer = client.request("GET", f"/api/devices/{DEVICE}/serial")
                return status == 200 and str(number) in answer.decode(), f"{status} {answer!r}"
            timed("api", "GET serial", read_back)
        finally:
            client.close()
    return latencies


def main():
    args = sys.argv[1:]
    if args[:1] == ["--hold"]:
        asyncio.run(hold(args[1], int(args[2]), float(args[3])))
        return 0
    flags = set(args[2:])
    if len(args) < 2 or not flags <= {"--quick", "--insecure-http"}:
        print(__doc__, file=sys.stderr)
        return 2
    vornctl, vornsim = args[:2]
    processes.require_test_namespace(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                  "..", "scripts", "netns.sh"))
    seconds = 6 if "--quick" in flags else 20
    serve_support.add_addresses(STRANGER, TABLET)

    sim = processes.simulator(vornsim, [f"id={DEVICE},type=12,name=Rack unit,"
                                        "address=127.0.0.2,serial=20261207"],
                              ["--devices", "20", "--quiet", "--interval", "1000"])
    serve = stranger = push = None
    try:
        extra = ["--insecure-http"] if "--insecure-http" in flags else []
        serve = Serve(vornctl, serve_support.SERVE_HOST, extra)
        serve.wait_listed(21, 60)
        scheme = "HTTPS" if serve.secure else "HTTP"
        # The tablet opens its page and live push before the stranger comes.
        first = Client(serve, TABLET)
        first.follow_link()
        push = LivePush(serve, TABLET, cookie=first.cookie, session=first.tls_session())
        first.close()
        if not push.read_until(lambda p: len(p.added) >= 21, 15):
            raise RuntimeError(f"the live push brought {len(push.added)} of 21 devices")

        stranger = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--hold", serve.host, str(serve.port),
             str(seconds + 4)], stdout=subprocess.PIPE, text=True)
        time.sleep(2)  # the stranger's connections are open
        failures = []
        pings = alive = 0
        start = time.monotonic()
        latencies = {"link": [], "page": [], "api": [], "write": []}
        while time.monotonic() - start < seconds:
            for kind, values in tablet(serve, 2, failures).items():
                latencies[kind] += values
            pings += 1
            alive += push.ping(5)
        held_output, _ = stranger.communicate(timeout=30)
        stranger_did = json.loads(held_output.strip().splitlines()[-1])
        still_live = push.ping(5)

        answered = sum(len(v) for v in latencies.values())
        asked = answered + len(failures)
        print(f"stranger ({STRANGER}, 200 held, no token, {scheme}): {stranger_did['opened']} "
              f"connections opened in {seconds + 4} s, {stranger_did['refused']} refused")
        for kind, values in latencies.items():
            if values:
                print(f"tablet {kind}: {len(values)} answered, median "
                      f"{statistics.median(values) * 1000:.1f} ms, p95 "
                      f"{percentile(values, 0.95) * 1000:.1f} ms, max {max(values) * 1000:.1f} ms")
        print(f"tablet live push: {alive} of {pings} pings answered, open at the end: "
              f"{'yes' if still_live else 'NO (closed ' + str(push.closed_code) + ')'}")
        for what, reason in failures[:5]:
            print(f"tablet failure: {what}: {reason}")
        all_lat = [v for values in latencies.values() for v in values]
        print(f"summary serve_stranger {scheme}: tablet {answered}/{asked} answered, median "
              f"{statistics.median(all_lat) * 1000 if all_lat else float('nan'):.1f} ms, p95 "
              f"{percentile(all_lat, 0.95) * 1000:.1f} ms; live push "
              f"{'kept' if still_live and alive == pings else 'LOST'}; stranger opened "
              f"{stranger_did['opened']}")
        return 0 if not failures and still_live and alive == pings else 1
    finally:
        if stranger and stranger.poll() is None:
            stranger.kill()
            stranger.wait()
        if push:
            push.close()
        if serve:
            serve.stop()
        processes.stop_simulator(sim)


if __name__ == "__main__":
    sys.exit(main())
