#!/usr/bin/env python3
"""vornctl serve's page of 1000 simulated devices over HTTPS against plain HTTP,
in the same run on the same machine: two serves on the veth pair's 192.0.2.1
(one HTTPS with its own authority, as off loopback by default; one
--insecure-http), both watching the same devices. Measured, the two
alternated:
  - a browser's first visit: new connections, the token link, the page's files,
    /api/interface, /api/devices, then the live push until all 1000 devices
    arrived (a kept-alive connection with a full handshake, and the WebSocket,
    whose connection resumes that TLS session as a browser's does); and the
    same browser's return visit, whose connections resume its TLS session;
  - GET /api/devices again on a kept-alive connection;
  - new connections per second, each a full handshake (no resumption) and one
    small request, from 2 client processes; serve's CPU time per connection.
Runs inside a private network namespace with the veth pair (scripts/netns.sh
--veth; bench/run.sh does that).

usage: serve_tls.py VORNCTL VORNSIM [--quick]"""

import multiprocessing
import os
import socket
import ssl
import statistics
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import serve_support  # noqa: E402
from serve_support import Client, LivePush, Serve, cpu_seconds, percentile  # noqa: E402

processes = serve_support.processes
RESUMED = [0]  # live-push connections that resumed the page's TLS session
LAST_SESSION = [None]  # the TLS session of the last visit's page connection


def first_visit(serve, devices, session=None):
    """Seconds from nothing to every device in the page's live push. The live
    push's connection resumes the page's TLS session, as a browser's does;
    with `session` (a return visit) the page's connection resumes that one."""
    start = time.perf_counter()
    client = Client(serve, session=session)
    try:
        listed = client.load_page()
        push = LivePush(serve, cookie=client.cookie, session=client.tls_session())
        if serve.secure and push.client.sock.session_reused:
            RESUMED[0] += 1
        LAST_SESSION[0] = client.tls_session()
        try:
            if not push.read_until(lambda p: len(p.added) >= devices, 30):
                raise RuntimeError(f"the live push brought {len(push.added)} of {devices} "
                                   f"devices (closed: {push.closed_code})")
        finally:
            push.close()
    finally:
        client.close()
    if listed < devices:
        raise RuntimeError(f"GET /api/devices listed {listed} of {devices}")
    return time.perf_counter() - start


def kept_alive_lists(client, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        client.json("GET", "/api/devices")
        times.append(time.perf_counter() - start)
    return times


def connect_loop(args):
    """One client process: new connections for `seconds`; their count."""
    host, port, token, cadata, seconds = args
    context = None
    if cadata:
        context = ssl.create_default_context(cadata=cadata)
    request = (f"GET /api/interface HTTP/1.1\r\nHost: {host}:{port}\r\n"
               f"Authorization: Bearer {token}\r\nConnection: close\r\n\r\n").encode()
    count = failed = 0
    problem = ""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            sock = socket.create_connection((host, port), 10)
            if context:
                sock = context.wrap_socket(sock, server_hostname=host)
            with sock:
                sock.sendall(request)
                answer = b""
                while chunk := sock.recv(65536):
                    answer += chunk
            if answer.startswith(b"HTTP/1.1 200"):
                count += 1
            else:
                failed += 1
                problem = answer.split(b"\r\n", 1)[0].decode("latin-1")
        except (OSError, ssl.SSLError) as error:
            failed += 1
            problem = str(error)
    return count, failed, problem


def connections_per_second(serve, seconds, workers=2):
    cadata = None
    if serve.secure:
        cadata = Client(serve).request("GET", "/ca.crt", auth=False)[2].decode()
    cpu_before, start = cpu_seconds(serve.pid), time.monotonic()
    with multiprocessing.get_context("fork").Pool(workers) as pool:
        results = pool.map(connect_loop,
                           [(serve.host, serve.port, serve.token, cadata, seconds)] * workers)
    elapsed = time.monotonic() - start
    cpu = cpu_seconds(serve.pid) - cpu_before
    done = sum(r[0] for r in results)
    failed = sum(r[1] for r in results)
    problems = sorted({r[2] for r in results if r[2]})
    return done / elapsed, cpu / max(done, 1), failed, "; ".join(problems)


def main():
    args = sys.argv[1:]
    quick = args[2:] == ["--quick"]
    if len(args) != 2 and not quick:
        print(__doc__, file=sys.stderr)
        return 2
    vornctl, vornsim = args[:2]
    processes.require_test_namespace(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                  "..", "scripts", "netns.sh"))
    devices = 200 if quick else 1000
    visits = 3 if quick else 10
    rounds = 10 if quick else 50
    seconds = 2 if quick else 5

    sim = processes.simulator(vornsim, [],
                              ["--devices", str(devices), "--quiet", "--interval", "1000"])
    servers = []
    try:
        servers.append(Serve(vornctl, serve_support.SERVE_HOST))
        servers.append(Serve(vornctl, serve_support.SERVE_HOST, ["--insecure-http"]))
        https, http = servers
        if not https.secure or http.secure:
            raise RuntimeError("expected one HTTPS and one plain HTTP serve")
        for serve in servers:
            serve.wait_listed(devices, 90)
        print(f"{devices} devices listed and named by both", flush=True)

        first = {True: [], False: []}
        again = []
        for visit in range(visits):  # alternated, neither always first
            order = servers if visit % 2 == 0 else servers[::-1]
            for serve in order:
                first[serve.secure].append(first_visit(serve, devices))
                if serve.secure:  # the same browser again, its TLS session kept
                    again.append(first_visit(serve, devices, LAST_SESSION[0]))
        kept = {True: [], False: []}
        clients = {serve.secure: Client(serve) for serve in servers}
        for serve in servers:
            kept_alive_lists(clients[serve.secure], 3)  # connection opened, warm
        for part in range(rounds // 5):
            for serve in (servers if part % 2 == 0 else servers[::-1]):
                kept[serve.secure] += kept_alive_lists(clients[serve.secure], 5)
        for client in clients.values():
            client.close()
        rates = {serve.secure: connections_per_second(serve, seconds) for serve in servers}

        med = {secure: statistics.median(first[secure]) for secure in first}
        kept_med = {secure: statistics.median(kept[secure]) for secure in kept}
        ratio = med[True] / med[False]
        for secure, name in ((False, "HTTP "), (True, "HTTPS")):
            print(f"{name} first visit ({devices} devices, page + API + live push): median "
                  f"{med[secure] * 1000:.1f} ms, max {max(first[secure]) * 1000:.1f} ms of "
                  f"{visits}; GET /api/devices kept alive: median {kept_med[secure] * 1000:.2f} "
                  f"ms, p95 {percentile(kept[secure], 0.95) * 1000:.2f} ms")
        for secure, name in ((False, "HTTP "), (True, "HTTPS")):
            rate, cpu, failed, problem = rates[secure]
            print(f"{name} new connections (2 clients, {seconds} s): {rate:.0f}/s, serve CPU "
                  f"{cpu * 1000:.2f} ms each, {failed} failed{': ' + problem if failed else ''}")
        print(f"HTTPS return visit (the page's connection resumes the last visit's TLS "
              f"session): median {statistics.median(again) * 1000:.1f} ms, "
              f"{statistics.median(again) / med[False]:.2f}x HTTP's first visit")
        print(f"HTTPS live push connections that resumed the page's TLS session: "
              f"{RESUMED[0]} of {2 * visits}")
        print(f"first visit HTTPS/HTTP: {ratio:.2f}x (target at most 1.2x); kept alive "
              f"{kept_med[True] / kept_med[False]:.2f}x")
        print(f"summary serve_tls: first visit {med[False] * 1000:.1f} ms http, "
              f"{med[True] * 1000:.1f} ms https, {ratio:.2f}x; return visit "
              f"{statistics.median(again) / med[False]:.2f}x; kept alive "
              f"{kept_med[True] / kept_med[False]:.2f}x; handshakes "
              f"{rates[True][0]:.0f}/s ({rates[True][1] * 1000:.2f} ms CPU each)")
        return 0 if not rates[True][2] and not rates[False][2] else 1
    finally:
        for serve in servers:
            serve.stop()
        processes.stop_simulator(sim)


if __name__ == "__main__":
    sys.exit(main())
