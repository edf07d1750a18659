#!/usr/bin/env python3
"""The Windows installer under Wine, silently, in a fresh prefix: it installs
into Program Files what the ZIP holds, with a Start menu shortcut and an entry
under Apps (name, version, publisher, uninstaller); the installed vornctl.exe
reports the version; the installed VornService.exe comes up, takes the adapter
192.0.2.1 in its network dialog and lists the installed vornsim.exe's device;
the silent uninstaller removes the files, the shortcut and the entry. Then the
same into a folder of the user's choice (/D=).

Runs inside the test network namespace with its veth pair (scripts/netns.sh
--veth) and a Wine session on a fresh prefix (scripts/wine-session.sh).

usage: installer_test.py PACKAGES_DIR VERSION VORNTOUR_EXE NETNS_SCRIPT"""

import os
import re
import subprocess
import sys
import time
import zipfile

sys.dont_write_bytecode = True  # no cache files in the source tree
ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tools", "testing"))
import processes  # noqa: E402

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\VornService"
DEFAULT_FOLDER = r"C:\Program Files\VornService"
CHOSEN_FOLDER = r"C:\Tools\VornService"
SHORTCUT = r"C:\ProgramData\Microsoft\Windows\Start Menu\Programs\VornService.lnk"
INSTALLED = ["VornService.exe", "vornctl.exe", "vornsim.exe", "vorn.lua", "README.md",
             "LICENSE.txt", "Uninstall.exe"]
DEVICE = "id=0001e240000012ab,type=12,name=Stage-left,address=192.0.2.2,serial=20260415"


def unix(windows_path):
    """Where a path of drive C: is in the prefix."""
    drive, rest = windows_path.split(":", 1)
    assert drive.upper() == "C"
    return os.path.join(os.environ["WINEPREFIX"], "drive_c", *rest.strip("\\").split("\\"))


def wine(*argv, timeout=120):
    return subprocess.run(["wine", *argv], capture_output=True, text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL)


def registry_entry():
    """The Apps entry's values, or None when there is none."""
    result = wine("reg", "query", UNINSTALL_KEY)
    if result.returncode != 0:
        return None
    return dict(re.findall(r"^\s+(\S+)\s+REG_\w+\s+(.*?)\s*$", result.stdout, re.M))


def until(condition, seconds):
    deadline = time.monotonic() + seconds
    while True:
        if condition():
            return True
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)


def install(setup, folder, failures):
    arguments = ["/S"] if folder == DEFAULT_FOLDER else ["/S", f"/D={folder}"]
    result = wine(setup, *arguments)
    failures.equal(result.returncode, 0, f"setup {' '.join(arguments)}: exit status")


def check_installed(folder, version, zipped, failures):
    top = zipped.namelist()[0].split("/")[0]
    for name in INSTALLED:
        path = os.path.join(unix(folder), name)
        if not failures.check(os.path.isfile(path), f"{folder}\\{name} is installed"):
            continue
        if name != "Uninstall.exe":
            with open(path, "rb") as installed:
                failures.check(installed.read() == zipped.read(f"{top}/{name}"),
                               f"{folder}\\{name} is the ZIP's {name}")
    failures.equal(sorted(os.listdir(unix(folder))), sorted(INSTALLED), f"files in {folder}")

    # The shortcut's link target, as Windows stores it (ANSI in the link info).
    if failures.check(os.path.isfile(unix(SHORTCUT)), "the Start menu shortcut exists"):
        with open(unix(SHORTCUT), "rb") as link:
            data = link.read()
        target = f"{folder}\\VornService.exe"
        failures.check(target.encode("latin-1") in data or target.encode("utf-16-le") in data,
                       f"the shortcut starts {target}")

    entry = registry_entry()
    if failures.check(entry is not None, "the Apps entry exists"):
        failures.equal(entry.get("DisplayName"), "VornService", "DisplayName")
        failures.equal(entry.get("DisplayVersion"), version, "DisplayVersion")
        failures.equal(entry.get("Publisher"), "Vorn", "Publisher")
        failures.equal(entry.get("InstallLocation"), folder, "InstallLocation")
        failures.equal(entry.get("UninstallString"), f'"{folder}\\Uninstall.exe"',
                       "UninstallString")
        failures.equal(entry.get("QuietUninstallString"), f'"{folder}\\Uninstall.exe" /S',
                       "QuietUninstallString")
        failures.equal(entry.get("DisplayIcon"), f"{folder}\\VornService.exe", "DisplayIcon")


def check_programs(folder, version, vorntour, failures):
    shown = wine(f"{folder}\\vornctl.exe", "--version")
    failures.equal((shown.returncode, shown.stdout.replace("\r\n", "\n")),
                   (0, f"vornctl {version}\n"), "the installed vornctl.exe --version")

    # The installed program against the installed simulator: the tour picks the adapter in the
    # network dialog, waits for the device's name and serial number, closes the window.
    simulator = processes.Program(
        ["wine", f"{folder}\\vornsim.exe", "--stdin-control", "--device", DEVICE],
        stdin=subprocess.PIPE)
    try:
        ready = simulator.wait_for(lambda line: line.startswith("ready"), 60)
        if not failures.check(ready, f"the installed vornsim.exe started: {simulator.errors}"):
            return
        tour = wine(vorntour, f"{folder}\\VornService.exe", "--interface", "192.0.2.1",
                    "--devices", "1", timeout=180)
        print(tour.stdout, tour.stderr, sep="", end="", flush=True)
        failures.equal(tour.returncode, 0, "the installed VornService.exe's tour: exit status")
        failures.check("row 0: Stage-left | Ondal 4 | 0001e240:000012ab" in tour.stdout,
                       "the installed VornService.exe listed the device")
        failures.check(re.search(r"^selected: Stage-left; .*\b20260415\b", tour.stdout, re.M),
                       "the installed VornService.exe showed its serial number")
    finally:
        processes.stop_simulator(simulator)


def uninstall(folder, failures):
    # The uninstaller copies itself away and returns at once; the copy removes the folder.
    result = wine(f"{folder}\\Uninstall.exe", "/S")
    failures.equal(result.returncode, 0, "Uninstall.exe /S: exit status")
    failures.check(until(lambda: not os.path.exists(unix(folder)), 60),
                   f"the uninstaller removed {folder}: {_listing(folder)}")
    failures.check(until(lambda: registry_entry() is None, 30),
                   "the uninstaller removed the Apps entry")
    failures.check(not os.path.exists(unix(SHORTCUT)), "the uninstaller removed the shortcut")


def _listing(folder):
    path = unix(folder)
    return sorted(os.listdir(path)) if os.path.isdir(path) else "gone"


def main():
    packages, version, vorntour, netns = processes.arguments(__doc__, 4)
    processes.require_test_namespace(netns)
    if "WINEPREFIX" not in os.environ:
        processes.skip("not inside a Wine session (scripts/wine-session.sh)")
    failures = processes.Failures()
    setup = os.path.join(packages, f"VornService-{version}-win64-setup.exe")
    archive = os.path.join(packages, f"VornService-{version}-win64.zip")
    if not failures.check(os.path.isfile(setup) and os.path.isfile(archive),
                          f"{setup} and {archive} exist"):
        failures.finish()
    failures.check(not os.path.exists(unix(DEFAULT_FOLDER)) and registry_entry() is None,
                   "the prefix is fresh: nothing installed before the test")
    with zipfile.ZipFile(archive) as zipped:
        for folder in (DEFAULT_FOLDER, CHOSEN_FOLDER):
            print(f"installing into {folder}", flush=True)
            install(setup, folder, failures)
            check_installed(folder, version, zipped, failures)
            if folder == DEFAULT_FOLDER:
                check_programs(folder, version, vorntour, failures)
            uninstall(folder, failures)
    failures.finish()


if __name__ == "__main__":
    main()
