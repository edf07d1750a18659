#!/usr/bin/env python3
"""The Windows ZIP and the checksums: the file names carry the version, the ZIP
holds the programs, the dissector, the README and the licence in one folder,
each program is a 64-bit Windows program that imports no DLL beyond Windows'
own (objdump), VornService.exe's version resource names the version, and
SHA256SUMS verifies the three packages.

usage: zip_test.py PACKAGES_DIR VERSION"""

import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

sys.dont_write_bytecode = True  # no cache files in the source tree
ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "testing"))
import processes  # noqa: E402

PROGRAMS = ["VornService.exe", "vornctl.exe", "vornsim.exe"]
FILES = PROGRAMS + ["vorn.lua", "README.md", "LICENSE.txt"]
# The DLLs a program may import: those of Windows itself, lower case.
WINDOWS_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "comctl32.dll", "comdlg32.dll", "advapi32.dll",
    "shell32.dll", "ole32.dll", "oleaut32.dll", "ws2_32.dll", "mswsock.dll", "iphlpapi.dll",
    "msvcrt.dll", "uxtheme.dll", "shlwapi.dll", "version.dll", "bcrypt.dll", "crypt32.dll",
}
OBJDUMP = "x86_64-w64-mingw32-objdump"


def names(packages, version):
    return {
        "zip": f"VornService-{version}-win64.zip",
        "setup": f"VornService-{version}-win64-setup.exe",
        "deb": f"vornservice_{version}_amd64.deb",
    }


def checksums(packages, version, failures):
    expected = sorted(names(packages, version).values())
    failures.equal(sorted(name for name in os.listdir(packages) if name != "SHA256SUMS"),
                   expected, "the packages")
    with open(os.path.join(packages, "SHA256SUMS")) as sums:
        listed = sorted(line.split()[1] for line in sums if line.strip())
    failures.equal(listed, expected, "files in SHA256SUMS")
    verified = subprocess.run(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=packages,
                              capture_output=True, text=True)
    failures.equal(verified.returncode, 0, f"sha256sum --check: {verified.stdout}{verified.stderr}")


def version_resource(data, version, failures):
    """The fixed part (VS_FIXEDFILEINFO) and the version strings of the
    program's VERSIONINFO resource."""
    major, minor, patch = (int(part) for part in version.split("."))
    fixed = data.find(struct.pack("<I", 0xFEEF04BD))
    if failures.check(fixed >= 0, "VornService.exe has a VS_FIXEDFILEINFO"):
        file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<4I", data, fixed + 8)
        failures.equal((file_ms, file_ls), ((major << 16) | minor, patch << 16), "FILEVERSION")
        failures.equal((product_ms, product_ls), ((major << 16) | minor, patch << 16),
                       "PRODUCTVERSION")
    for key in ("FileVersion", "ProductVersion"):
        # A String block: its key, then (after padding to 32 bits) its value, both UTF-16.
        pattern = (re.escape(key.encode("utf-16-le")) + b"\0\0(?:\0\0)?(" +
                   b"(?:[^\0]\0)*" + b")\0\0")
        found = re.search(pattern, data)
        failures.equal(found and found.group(1).decode("utf-16-le"), version,
                       f"the version resource's {key}")


def programs(folder, version, failures):
    for program in PROGRAMS:
        path = os.path.join(folder, program)
        dump = subprocess.run([OBJDUMP, "-p", path], capture_output=True, text=True)
        if not failures.equal(dump.returncode, 0, f"objdump -p {program}: {dump.stderr}"):
            continue
        failures.check("file format pei-x86-64" in dump.stdout, f"{program} is a 64-bit program")
        imported = sorted({name.lower() for name in re.findall(r"DLL Name: (\S+)", dump.stdout)})
        failures.check(imported, f"{program} imports from Windows ({imported})")
        failures.equal([dll for dll in imported if dll not in WINDOWS_DLLS], [],
                       f"DLLs {program} needs beyond Windows' own")
        failures.check(".debug_info" not in subprocess.run(
            [OBJDUMP, "-h", path], capture_output=True, text=True).stdout,
            f"{program} is stripped")
    with open(os.path.join(folder, "VornService.exe"), "rb") as program:
        version_resource(program.read(), version, failures)


def main():
    packages, version = processes.arguments(__doc__, 2)
    failures = processes.Failures()
    checksums(packages, version, failures)
    archive = os.path.join(packages, names(packages, version)["zip"])
    if not failures.check(os.path.isfile(archive), f"{archive} exists"):
        failures.finish()
    top = f"VornService-{version}-win64"
    with zipfile.ZipFile(archive) as zipped:
        members = sorted(name for name in zipped.namelist() if not name.endswith("/"))
        failures.equal(members, sorted(f"{top}/{name}" for name in FILES), "the ZIP's files")
        with tempfile.TemporaryDirectory() as folder:
            zipped.extractall(folder)
            with open(os.path.join(ROOT, "LICENSE"), "rb") as licence, \
                    open(os.path.join(folder, top, "LICENSE.txt"), "rb") as packaged:
                failures.check(licence.read() == packaged.read(), "LICENSE.txt is the LICENSE")
            programs(os.path.join(folder, top), version, failures)
    failures.finish()


if __name__ == "__main__":
    main()
