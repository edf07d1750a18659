#!/usr/bin/env python3
"""The build's TLS client (tls_probe: Boost.Asio's ssl stream over the build's OpenSSL; in the
Windows build the one made from Debian's source package, run under Wine) against the Linux
openssl s_server, with an authority and a server certificate made here by the openssl command.
Trusting that authority alone, the probe verifies chain and name (the address and a host name)
and prints the SHA-256 of the certificate s_server sends; a name the certificate does not carry
and another authority are refused.

usage: interop_test.py TLS_PROBE ADDRESS [EMULATOR...]
ADDRESS is where s_server listens (the Windows build: 192.0.2.2 of scripts/netns.sh --veth)."""

import hashlib
import os
import socket
import ssl
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "testing"))
import processes  # noqa: E402

# A cold Wine process takes seconds to start, more on a loaded machine.
DEADLINE = 90


def openssl(*arguments, cwd):
    subprocess.run(["openssl", *arguments], cwd=cwd, check=True, capture_output=True,
                   timeout=DEADLINE)


def make_authority(folder, name):
    openssl("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", f"{name}.key", "-out", f"{name}.pem", "-subj", f"/CN={name}", "-days", "2",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)


def make_server(folder, address):
    with open(os.path.join(folder, "server.ext"), "w") as ext:
        ext.write(f"subjectAltName=IP:{address},DNS:vorn.test\n"
                  "basicConstraints=critical,CA:FALSE\nextendedKeyUsage=serverAuth\n")
    openssl("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
            "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=vorn.test", cwd=folder)
    openssl("x509", "-req", "-in", "server.csr", "-CA", "authority.pem", "-CAkey",
            "authority.key", "-set_serial", "2", "-days", "2", "-extfile", "server.ext",
            "-out", "server.pem", cwd=folder)


def free_port(address):
    with socket.socket() as probe:
        probe.bind((address, 0))
        return probe.getsockname()[1]


def main():
    if len(sys.argv) < 3:
        print(__doc__.split("usage: ")[1], file=sys.stderr)
        return 2
    tls_probe, address = sys.argv[1:3]
    emulator = sys.argv[3:]
    if not address.startswith("127."):
        # Addresses of the namespace's veth pair exist only inside it.
        processes.require_test_namespace(os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                      "..", "..", "scripts", "netns.sh"))
        addresses = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True,
                                   text=True).stdout
        if f" {address}/" not in addresses:
            processes.skip(f"{address} is not an address here (scripts/netns.sh --veth)")

    failures = processes.Failures()
    folder = tempfile.mkdtemp(prefix="vorn-tls-interop-")
    # What the probe is given: under Wine, the Linux file system is drive Z:.
    seen_as = (lambda path: "Z:" + path) if emulator else (lambda path: path)
    server = None
    try:
        make_authority(folder, "authority")
        make_authority(folder, "stranger")
        make_server(folder, address)
        with open(os.path.join(folder, "server.pem")) as pem:
            served = hashlib.sha256(ssl.PEM_cert_to_DER_cert(pem.read())).hexdigest()

        port = free_port(address)
        server = processes.Program(["openssl", "s_server", "-accept", f"{address}:{port}",
                                    "-cert", os.path.join(folder, "server.pem"),
                                    "-key", os.path.join(folder, "server.key"), "-www"],
                                   stdin=subprocess.PIPE)
        if server.wait_for(lambda line: line.startswith("ACCEPT"), DEADLINE) is None:
            raise RuntimeError("openssl s_server did not start: " + " | ".join(server.errors))

        def run_probe(authority, name):
            return subprocess.run(
                emulator + [tls_probe, address, str(port),
                            seen_as(os.path.join(folder, authority)), name],
                capture_output=True, text=True, timeout=DEADLINE)

        for name in (address, "vorn.test"):
            result = run_probe("authority.pem", name)
            lines = result.stdout.splitlines()
            if failures.equal(result.returncode, 0, f"probe for {name} (stderr {result.stderr!r})"):
                words = lines[0].split() if lines else []
                failures.check(len(words) == 4 and words[0] == "verified" and
                               words[1] == "TLSv1.3", f"{name}: printed {lines!r}")
                failures.equal(words[-1] if words else None, served,
                               f"{name}: SHA-256 of the certificate the probe saw")
                failures.check(len(lines) == 2 and lines[1].startswith("HTTP/1.0 200"),
                               f"{name}: s_server's answer {lines!r}")

        for authority, name, reason in (
                ("authority.pem", "192.0.2.77", "IP address mismatch"),
                ("authority.pem", "other.test", "hostname mismatch"),
                ("stranger.pem", address, "unable to get local issuer certificate")):
            result = run_probe(authority, name)
            failures.check(result.returncode == 1 and reason in result.stderr and
                           not result.stdout,
                           f"{authority}, {name}: status {result.returncode}, "
                           f"stdout {result.stdout!r}, stderr {result.stderr!r}")
    finally:
        if server is not None:
            server.process.terminate()
            server.finish(10)
        subprocess.run(["rm", "-rf", folder], check=False)
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
