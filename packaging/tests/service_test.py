#!/usr/bin/env python3
"""vornctl serve as the service of the Debian package, installed for real:
dpkg installs it without enabling or starting the unit; systemd-analyze
verifies the unit and rates its exposure (at most 1.5); the unit's command
line runs as the unit runs it (a user of no account, its state directory,
the packaged serve.conf given the test namespace's adapter by name and a
listen address) and serves the link, keeps token and journal in the state
directory, keeps the link across a restart and gives a new token on SIGHUP;
dpkg -r keeps serve.conf and the state, dpkg --purge removes both.

Runs as root inside the test namespace with the veth pair (scripts/netns.sh
--veth), where systemd itself does not run.

usage: service_test.py PACKAGES_DIR VERSION"""

import http.client
import os
import re
import shlex
import shutil
import signal
import ssl
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no cache files in the source tree
ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "testing"))
import processes  # noqa: E402

PACKAGE = "vornservice"
UNIT = "/lib/systemd/system/vornctl-serve.service"
CONF = "/etc/vornctl/serve.conf"
# StateDirectory=: systemd keeps a dynamic user's below /var/lib/private (0700) and shows it
# to the service as /var/lib/vornctl; without systemd the test makes that folder itself.
STATE = "/var/lib/vornctl"
SERVICE_UID = 61_873  # as a dynamic user: no account, no home, no groups
LISTEN = "192.0.2.1:8443"


def run(argv, **kwargs):
    return subprocess.run(argv, capture_output=True, text=True, timeout=120, **kwargs)


def unit_setting(name):
    with open(UNIT) as unit:
        return [line.split("=", 1)[1].strip() for line in unit
                if line.startswith(name + "=")]


def analyze(failures):
    verify = run(["systemd-analyze", "verify", UNIT])
    failures.equal((verify.returncode, verify.stdout + verify.stderr), (0, ""),
                   "systemd-analyze verify")
    security = run(["systemd-analyze", "security", "--offline=true", UNIT])
    match = re.search(r"Overall exposure level for vornctl-serve\.service: (\d+\.\d+)",
                      security.stdout + security.stderr)
    if failures.check(match, f"systemd-analyze security rates the unit: {security.stdout[-300:]}"):
        exposure = float(match.group(1))
        print(f"exposure {exposure}", flush=True)
        failures.check(exposure <= 1.5, f"exposure {exposure} is at most 1.5")


def command_line():
    """The unit's ExecStart with ${STATE_DIRECTORY} as systemd expands it."""
    (exec_start,) = unit_setting("ExecStart")
    return [word.replace("${STATE_DIRECTORY}", STATE) for word in shlex.split(exec_start)]


def start(failures):
    """The unit's command line as the unit runs it; returns the program and its link."""
    env = {"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8", "STATE_DIRECTORY": STATE}
    argv = ["setpriv", f"--reuid={SERVICE_UID}", f"--regid={SERVICE_UID}", "--clear-groups",
            "--inh-caps=-all", "--", "sh", "-c", 'umask 0077 && exec "$@"', "sh"] + command_line()
    serve = processes.Program(argv, env=env)
    line = serve.next_line(30) or ""
    match = re.fullmatch(r"serving (https?)://(\S+)/\?token=(\S+)", line)
    failures.check(match, f"serve printed its link ({line!r}, {serve.errors})")
    certificate = serve.next_line(10) or ""
    fingerprint = re.fullmatch(r"certificate SHA-256 ((?:[0-9A-F]{2}:){31}[0-9A-F]{2})", certificate)
    failures.check(fingerprint, f"serve printed its certificate's SHA-256 ({certificate!r})")
    return serve, match, fingerprint.group(1) if fingerprint else None


def stop(serve, failures):
    serve.process.send_signal(signal.SIGTERM)
    failures.equal(serve.finish(30), 0, "serve ends on SIGTERM with status 0")


def wait_until(condition, timeout):
    """Polls `condition` until it holds or `timeout` seconds pass; its last value."""
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() >= deadline:
            return condition()
        time.sleep(0.05)
    return True


def get(address, target, token):
    """A request over HTTPS from a client that trusts serve's own authority alone."""
    host, port = address.rsplit(":", 1)
    context = ssl.create_default_context(cafile=os.path.join(STATE, "tls", "authority.crt"))
    connection = http.client.HTTPSConnection(host, int(port), timeout=30, context=context)
    connection.request("GET", target, headers={"Authorization": f"Bearer {token}"})
    response = connection.getresponse()
    body = response.read()
    connection.close()
    return response.status, body


def main():
    packages, version = processes.arguments(__doc__, 2)
    failures = processes.Failures()
    if os.geteuid() != 0:
        processes.skip("installing the package needs root")
    if run(["dpkg-query", "-W", PACKAGE]).returncode == 0:
        processes.skip(f"{PACKAGE} is installed on this machine already; the test leaves it be")
    deb = os.path.join(packages, f"{PACKAGE}_{version}_amd64.deb")
    if not failures.check(os.path.isfile(deb), f"{deb} exists"):
        failures.finish()

    install = run(["dpkg", "--install", deb])
    if not failures.equal(install.returncode, 0, f"dpkg --install: {install.stderr}"):
        failures.finish()
    try:
        failures.check(not os.path.exists(
            "/etc/systemd/system/multi-user.target.wants/vornctl-serve.service"),
            "the unit is not enabled on install")
        analyze(failures)

        # The administrator's configuration: the namespace's adapter by name.
        with open(CONF, "a") as conf:
            conf.write(f"interface = vorn0\nlisten = {LISTEN}\n")
        os.makedirs(STATE, mode=0o700, exist_ok=True)
        os.chown(STATE, SERVICE_UID, SERVICE_UID)

        serve, link, fingerprint = start(failures)
        if link:
            address, token = link.group(2), link.group(3)
            failures.equal(link.group(1), "https", "off loopback serve speaks HTTPS")
            failures.equal(address, LISTEN, "serve listens where serve.conf says")
            failures.equal(get(address, "/api/devices", token)[0], 200, "the API with the token")
            failures.equal(get(address, "/api/devices", "x" * 48)[0], 401, "another token")
            for name in ("token", "journal.jsonl", "tls/authority.key", "tls/server.key",
                         "tls/server.crt"):
                path = os.path.join(STATE, name)
                if failures.check(os.path.exists(path), f"{name} is in the state directory"):
                    status = os.stat(path)
                    failures.equal((status.st_uid, status.st_mode & 0o077), (SERVICE_UID, 0),
                                   f"{name} belongs to the service and nobody else reads it")
            stop(serve, failures)

            # A restart keeps the link.
            serve, again, same = start(failures)
            if again:
                failures.equal(again.group(3), token, "the token after a restart")
                failures.equal(same, fingerprint, "the certificate after a restart")
                failures.equal(get(address, "/api/devices", token)[0], 200, "the old link")
                # A new token and SIGHUP revoke the old one.
                new = "n" * 48
                with open(os.path.join(STATE, "token"), "w") as file:
                    file.write(new + "\n")
                serve.process.send_signal(signal.SIGHUP)
                revoked = wait_until(
                    lambda: get(address, "/api/devices", token)[0] == 401, 10)
                failures.check(revoked, "the old token gets 401 after SIGHUP")
                failures.equal(get(address, "/api/devices", new)[0], 200, "the new token")
            stop(serve, failures)
    finally:
        remove = run(["dpkg", "--remove", PACKAGE])
        failures.equal(remove.returncode, 0, f"dpkg --remove: {remove.stderr}")
    failures.check(os.path.exists(CONF), "remove keeps the changed serve.conf")
    failures.check(os.path.exists(os.path.join(STATE, "token")), "remove keeps the state")
    failures.check(not os.path.exists("/usr/bin/vornctl"), "remove removes the programs")
    purge = run(["dpkg", "--purge", PACKAGE])
    failures.equal(purge.returncode, 0, f"dpkg --purge: {purge.stderr}")
    failures.check(not os.path.exists("/etc/vornctl"), "purge removes serve.conf")
    failures.check(not os.path.exists(STATE), "purge removes the state")
    failures.finish()


if __name__ == "__main__":
    main()
