#!/usr/bin/env python3
"""vornctl serve --interface by adapter name, as a program in a namespace of
its own with the veth pair: an adapter without an address is waited for, an
unknown name is a usage error listing the adapters, and an address that
changes ends serve with status 3 (the service manager starts it again).

usage: address_test.py VORNCTL NETNS_SCRIPT"""

import os
import re
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "..",
                                "..", "tools", "testing"))
import processes  # noqa: E402


def ip(*words):
    subprocess.run(["ip", *words], check=True, capture_output=True)


def wait_for_error(program, text, timeout):
    deadline = time.monotonic() + timeout
    while not any(text in line for line in program.errors):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def main():
    vornctl, netns = processes.arguments(__doc__, 2)
    processes.require_test_namespace(netns)
    if subprocess.run(["ip", "link", "show", "vorn0"], capture_output=True).returncode != 0:
        processes.skip("no veth pair in this namespace (scripts/netns.sh --veth)")
    failures = processes.Failures()
    env = processes.environment()
    serve_argv = [vornctl, "--interface", "vorn0", "serve", "--listen", "127.0.0.1:0"]

    unknown = subprocess.run([vornctl, "--interface", "vorn9", "serve"], capture_output=True,
                             text=True, env=env, timeout=30)
    failures.equal(unknown.returncode, 2, "an unknown adapter's status")
    failures.check(re.search(r"vorn9 is neither the name nor the IPv4 address.*"
                             r"vorn0 \(192\.0\.2\.1\)", unknown.stderr),
                   f"the error lists the adapters: {unknown.stderr!r}")

    ip("address", "flush", "dev", "vorn0")
    serve = processes.Program(serve_argv, env=env)
    try:
        failures.check(wait_for_error(serve, "Waiting for an IPv4 address on vorn0", 10),
                       f"serve says it waits: {serve.errors}")
        failures.check(serve.process.poll() is None, "serve waits rather than ending")
        ip("address", "add", "192.0.2.1/24", "dev", "vorn0")
        line = serve.next_line(20) or ""
        failures.check(line.startswith("serving http://127.0.0.1:"),
                       f"serve starts once the address comes: {line!r} {serve.errors}")

        ip("address", "flush", "dev", "vorn0")
        ip("address", "add", "192.0.2.7/24", "dev", "vorn0")
        failures.equal(serve.finish(20), 3, "status after the address changed")
        failures.check(any("the address of vorn0 changed from 192.0.2.1 to 192.0.2.7" in line
                           for line in serve.errors), f"serve says why: {serve.errors}")
    finally:
        if serve.process.poll() is None:
            serve.process.kill()
        serve.finish(10)
        ip("address", "flush", "dev", "vorn0")
        ip("address", "add", "192.0.2.1/24", "dev", "vorn0")
    failures.finish()


if __name__ == "__main__":
    main()
