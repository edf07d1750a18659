#!/usr/bin/env python3
"""The link's QR code, read back as a phone would: vornctl serve --qr prints it
in half blocks under the serving line (drawn here as a dark terminal shows
it), and GET /api/link.svg draws it for the page (rendered by ImageMagick);
zbarimg decodes both and must find the printed link. Without --qr and
without a terminal nothing but the serving line is printed. The SVG holds the
modules only, and needs the token.

The Windows build runs under Wine with EMULATOR (cmake/wine-emulator.sh and its
prefix), inside the namespace of scripts/netns.sh --veth: its devices' network
is the veth pair's 192.0.2.1 (Wine lists no loopback adapter), while serve
still listens on 127.0.0.1; the token is the one serve makes.

usage: qr_test.py VORNCTL NETNS_SCRIPT [EMULATOR [ARGUMENTS...]]"""

import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import urllib.error
import urllib.request
import xml.etree.ElementTree as ElementTree

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "..",
                                "..", "tools", "testing"))
import processes  # noqa: E402

SVG = "{http://www.w3.org/2000/svg}"
COLOURS = re.compile(r"\x1b\[[0-9;]*m")
# What each half block draws in the foreground (light): (upper row, lower row).
HALVES = {"\u2588": (True, True), "\u2580": (True, False), "\u2584": (False, True),
          " ": (False, False)}


def decode(png):
    """The text of the one QR code zbarimg finds in the image, or None."""
    result = subprocess.run(["zbarimg", "--quiet", "--raw", "-Sdisable", "-Sqrcode.enable", png],
                            capture_output=True, timeout=60)
    if result.returncode != 0:
        return None
    return result.stdout.decode("utf-8").rstrip("\n")


def terminal_png(lines, path, scale=6, margin=6):
    """Draws the half-block lines as a terminal with a black background does
    (foreground white), with more black around them."""
    from PIL import Image
    rows = []
    for line in lines:
        text = COLOURS.sub("", line)
        upper = [HALVES[c][0] for c in text]
        lower = [HALVES[c][1] for c in text]
        rows += [upper, lower]
    width = max(len(row) for row in rows)
    image = Image.new("L", ((width + 2 * margin) * scale, (len(rows) + 2 * margin) * scale), 0)
    for y, row in enumerate(rows):
        for x, light in enumerate(row):
            if light:
                image.paste(255, ((x + margin) * scale, (y + margin) * scale,
                                  (x + margin + 1) * scale, (y + margin + 1) * scale))
    image.save(path)


def fetch(url, token=None):
    request = urllib.request.Request(url)
    if token:
        request.add_header("Authorization", "Bearer " + token)
    try:
        with urllib.request.urlopen(request, timeout=20) as answer:
            return answer.status, answer.headers.get("Content-Type"), answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.headers.get("Content-Type"), error.read()


def serve(command, token_file, *extra):
    """vornctl serve on 127.0.0.1; `command` is [vornctl] natively, the emulator's command
    and vornctl.exe for the Windows build."""
    if len(command) == 1:
        network, token = "127.0.0.1", ["--token-file", token_file]
    else:
        network, token = "192.0.2.1", []
    return processes.Program(command + ["--interface", network, "serve", "--listen",
                                        "127.0.0.1:0", *token, *extra],
                             env=processes.environment())


def stop(program):
    program.process.send_signal(signal.SIGINT)
    return program.finish(20)


def run(command, work, failures):
    token_file = os.path.join(work, "token")
    # serve refuses a token file others may read
    with open(os.open(token_file, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600), "w") as file:
        file.write(secrets.token_hex(24) + "\n")

    # Not a terminal, no --qr: the serving line alone.
    plain = serve(command, token_file)
    first = plain.next_line(20)
    failures.check(first and first.startswith("serving http://127.0.0.1:"), f"first line {first!r}")
    failures.equal(stop(plain), 0, "exit status of serve")
    rest = []
    while (line := plain.next_line(5)) is not None:
        rest.append(line)
    failures.equal(rest, [], "lines after the serving line without --qr")

    program = serve(command, token_file, "--qr")
    try:
        first = program.next_line(20)
        match = re.fullmatch(r"serving (http://127\.0\.0\.1:\d+)/\?token=(\S+)", first or "")
        if not failures.check(match, f"the serving line: {first!r}; stderr {program.errors}"):
            return
        link, origin, token = match.group(0)[len("serving "):], match.group(1), match.group(2)

        # The half blocks, up to the first line that is not one of them.
        lines = []
        while (line := program.next_line(5)) is not None:
            text = COLOURS.sub("", line)
            if not text or any(c not in HALVES for c in text):
                break
            lines.append(line)
        failures.check(len(lines) >= 15, f"{len(lines)} lines of half blocks")
        failures.check(all(line.startswith("\x1b[97;40m") and line.endswith("\x1b[0m")
                           for line in lines), "each line sets its colours and resets them")
        widths = {len(COLOURS.sub("", line)) for line in lines}
        failures.equal(len(widths), 1, "every line equally wide")
        png = os.path.join(work, "terminal.png")
        terminal_png(lines, png)
        failures.equal(decode(png), link, "the terminal's QR code decoded")

        # The page's drawing: the token is needed; the image holds modules only.
        status, _, _ = fetch(origin + "/api/link.svg")
        failures.equal(status, 401, "the QR code without the token")
        status, kind, body = fetch(origin + "/api/link.svg", token)
        failures.equal(status, 200, "GET /api/link.svg")
        failures.equal(kind, "image/svg+xml", "its Content-Type")
        root = ElementTree.fromstring(body)
        tags = sorted({element.tag for element in root.iter()})
        failures.equal(tags, sorted({SVG + "svg", SVG + "rect", SVG + "path"}), "SVG elements")
        failures.check(token.encode() not in body and b"http" not in body.replace(
            b"http://www.w3.org/2000/svg", b""), "the link is in the modules, not in text")
        svg = os.path.join(work, "link.svg")
        with open(svg, "wb") as file:
            file.write(body)
        png = os.path.join(work, "link.png")
        subprocess.run(["convert", "-density", "96", svg, png], check=True, timeout=60)
        failures.equal(decode(png), link, "the page's QR code decoded")
    finally:
        failures.equal(stop(program), 0, "exit status of serve --qr")


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        sys.exit(2)
    vornctl, netns = sys.argv[1:3]
    command = sys.argv[3:] + [vornctl]
    processes.require_test_namespace(netns)  # the engine broadcasts its presence
    for tool, package in (("zbarimg", "zbar-tools"), ("convert", "imagemagick")):
        if not shutil.which(tool):
            processes.skip(f"{tool} is missing (package {package})")
    try:
        import PIL  # noqa: F401
    except ImportError:
        processes.skip("PIL is missing (package python3-pil)")
    failures = processes.Failures()
    work = tempfile.mkdtemp(prefix="vorn-qr-")
    try:
        run(command, work, failures)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
