#!/usr/bin/env python3
"""vornctl journal and inventory end to end: the programs against vornsim in the
test's network namespace. A write recorded where the journal lives by default;
a vornctl killed between the intent and the outcome shows as interrupted;
damaged lines are named and skipped with status 0; --device, --since, --csv.
The inventory of devices of which one is silent and one refuses writes.

usage: journal_test.py VORNCTL VORNSIM NETNS_SCRIPT"""

import csv
import io
import json
import os
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "..", "tools",
                                "testing"))
import processes  # noqa: E402

FIRST = "00000700:00000001"
SECOND = "00000700:00000002"
SILENT = "00000700:00000003"
REFUSING = "00000700:00000004"
DEVICES = [
    f"id={FIRST},type=12,name=Stage left,address=127.0.0.2,serial=101",
    f"id={SECOND},type=10,name==cmd|' /C calc'!A0,address=127.0.0.3,serial=102",
    f"id={SILENT},type=11,name=Quiet,address=127.0.0.4,serial=103",
    f"id={REFUSING},type=13,name=Stubborn,address=127.0.0.5,serial=104",
]


def vornctl(program, *arguments, env=None):
    run = subprocess.run([program, *arguments], capture_output=True, text=True, timeout=120,
                         env=env or processes.environment(), stdin=subprocess.DEVNULL)
    return run.returncode, run.stdout, run.stderr


def on_network(program, *arguments, env=None):
    return vornctl(program, "--interface", "127.0.0.1", *arguments, env=env)


def entries(program, journal, *options):
    status, out, err = vornctl(program, "--journal", journal, "journal", "--json", *options)
    return status, (json.loads(out) if status == 0 else []), err


def default_place(program, failures):
    """Without --journal: $XDG_STATE_HOME/vornctl/journal.jsonl, else under HOME."""
    env = processes.environment()
    status, _, err = on_network(program, "serial", "set", FIRST, "201", "--yes", env=env)
    failures.equal(status, 0, f"default place: serial set ({err})")
    expected = os.path.join(env["XDG_STATE_HOME"], "vornctl", "journal.jsonl")
    failures.check(os.path.isfile(expected), f"default place: no journal at {expected}")
    with tempfile.TemporaryDirectory(prefix="vorn-home-") as home:
        env = dict(env, HOME=home)
        del env["XDG_STATE_HOME"]
        status, _, err = on_network(program, "serial", "set", FIRST, "202", "--yes", env=env)
        failures.equal(status, 0, f"default place without XDG_STATE_HOME: serial set ({err})")
        expected = os.path.join(home, ".local", "state", "vornctl", "journal.jsonl")
        failures.check(os.path.isfile(expected), f"default place: no journal at {expected}")
        status, out, _ = vornctl(program, "journal", "--json", env=env)
        shown = json.loads(out) if status == 0 else []
        failures.equal([(e["id"], e["old"], e["new"], e["result"]) for e in shown],
                       [(FIRST, 201, 202, "verified")], "default place: journal shows the write")


def interrupted(program, sim, journal, failures):
    """vornctl killed after the intent is on the disk, before the outcome."""
    sim.send(f"lose-replies {SECOND} 100 2")  # the write is done, its acknowledgement lost
    if sim.wait_for(lambda line: line.startswith("ok lose-replies"), 20) is None:
        failures.check(False, "vornsim did not take lose-replies")
        return
    writer = subprocess.Popen([program, "--interface", "127.0.0.1", "--journal", journal,
                               "--operator", "Alex", "serial", "set", SECOND, "301", "--yes"],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              env=processes.environment())
    # Killed once the device has taken the number: its acknowledgement is lost,
    # so vornctl is still waiting for it, between the intent and the outcome.
    taken = sim.wait_for(lambda line: line.startswith(f"serial-set device={SECOND} value=301"), 30)
    recorded = False
    if os.path.exists(journal):
        with open(journal, encoding="utf-8", errors="replace") as f:
            recorded = any('"intent"' in line and SECOND in line for line in f)
    # This proves the intent is on the disk while vornctl waits, not that it came
    # first: read from another process it could have come a moment after the write.
    # The order is proven in-process, where the simulated device reads the journal
    # the moment the write arrives (RecordingOnSimulator in RecordingTests.cpp).
    failures.check(taken is not None and recorded and writer.poll() is None,
                   "interrupted: the write arrived, its intent on the disk, vornctl waiting")
    writer.kill()
    writer.wait()
    status, shown, err = entries(program, journal, "--device", SECOND)
    failures.equal(status, 0, f"interrupted: journal status ({err})")
    failures.equal([(e["operator"], e["old"], e["new"], e["result"], e["acknowledged"])
                    for e in shown], [("Alex", 102, 301, "interrupted", None)],
                   "interrupted: the entry")


def damaged_and_filters(program, journal, failures):
    now = time.time()
    before = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(now)) + f".{int(now * 1000) % 1000:03d}Z"
    status, _, err = on_network(program, "--journal", journal, "serial", "set", FIRST, "401",
                                "--yes")
    failures.equal(status, 0, f"filters: serial set ({err})")
    with open(journal, "a", encoding="utf-8") as f:
        f.write("this is no record\n")
        f.write('{"time":"2026-12-07T14:05:09.042Z","event":"intent","entry":"cut')  # torn
    status, _, err = on_network(program, "--journal", journal, "serial", "set", FIRST, "402",
                                "--yes")
    failures.equal(status, 0, f"filters: serial set after a torn line ({err})")
    status, shown, err = entries(program, journal)
    failures.equal(status, 0, "damaged: status stays 0")
    lines = open(journal, encoding="utf-8").read().split("\n")
    bad = [i + 1 for i, line in enumerate(lines) if line.startswith("this") or line.endswith("cut")]
    for number in bad:
        failures.check(f"line {number}: not a journal record; skipped" in err,
                       f"damaged: line {number} not named in {err!r}")
    failures.equal([(e["id"], e["new"], e["result"]) for e in shown],
                   [(SECOND, 301, "interrupted"), (FIRST, 401, "verified"),
                    (FIRST, 402, "verified")], "damaged: the entries around the bad lines")

    _, since, _ = entries(program, journal, "--since", before)
    failures.equal([e["new"] for e in since], [401, 402], f"--since {before}")
    _, one, _ = entries(program, journal, "--device", SECOND)
    failures.equal([e["new"] for e in one], [301], "--device")

    status, out, _ = vornctl(program, "--journal", journal, "journal", "--csv", "--device", SECOND)
    rows = list(csv.reader(io.StringIO(out)))
    failures.equal(status, 0, "--csv status")
    failures.equal(rows[0][:4], ["entry", "time", "operator", "host"], "--csv header")
    failures.equal([(r[6], r[7], r[12]) for r in rows[1:]],
                   [(SECOND, "'=cmd|' /C calc'!A0", "interrupted")],
                   "--csv row: a name a spreadsheet would run is defused")

    status, out, _ = vornctl(program, "--journal", journal, "journal")
    failures.check(status == 0 and "interrupted" in out and "Alex" in out,
                   f"table: {out!r}")


def inventory(program, sim, failures):
    # The silent one announces itself and names itself, but its serial
    # number replies are lost.
    for command in (f"lose-replies {SILENT} 1000 813", f"refuse-writes {REFUSING} on"):
        sim.send(command)
        if sim.wait_for(lambda line, c=command: line.startswith("ok " + c.split()[0]), 20) is None:
            failures.check(False, f"vornsim did not take {command}")
    status, out, err = on_network(program, "inventory", "--json", "--wait", "1.5")
    failures.equal(status, 1, "inventory: status with a silent device")
    rows = json.loads(out) if out else []
    failures.equal([(r["id"], r["address"]) for r in rows],
                   [(FIRST, "127.0.0.2"), (SECOND, "127.0.0.3"), (SILENT, "127.0.0.4"),
                    (REFUSING, "127.0.0.5")], "inventory: devices")
    failures.equal([(r["id"], r["serial"]) for r in rows],
                   [(FIRST, 402), (SECOND, 301), (SILENT, None), (REFUSING, 104)],
                   "inventory: serial numbers")
    failures.check(f"{SILENT} (Quiet) did not answer" in err, f"inventory: stderr {err!r}")
    status, out, _ = on_network(program, "inventory", "--csv", "--wait", "1.5")
    lines = out.splitlines()
    failures.equal(lines[0] if lines else "", "id,name,product,type,address,serial", "inventory csv")
    failures.check(f"{SILENT},Quiet,Ondal 2,11,127.0.0.4,\n" in out and out.count("\n") == 5,
                   f"inventory csv: {out!r}")


def rotated(program, journal, failures):
    """A rotation moves the journal to .1 (and .1 to .2); vornctl journal reads them
    all, oldest first, and names a bad line by its own file and line."""
    _, before, _ = entries(program, journal)
    os.replace(journal, journal + ".1")
    with open(journal + ".1", "a", encoding="utf-8") as f:
        f.write("rotated garbage\n")
    status, _, err = on_network(program, "--journal", journal, "serial", "set", FIRST, "501",
                                "--yes")
    failures.equal(status, 0, f"rotated: serial set into a new file ({err})")
    os.replace(journal + ".1", journal + ".2")
    os.replace(journal, journal + ".1")
    status, _, err = on_network(program, "--journal", journal, "serial", "set", FIRST, "502",
                                "--yes")
    failures.equal(status, 0, f"rotated: serial set after a second rotation ({err})")
    status, shown, err = entries(program, journal)
    failures.equal(status, 0, "rotated: status")
    failures.equal([e["new"] for e in shown], [e["new"] for e in before] + [501, 502],
                   "rotated: every entry of .2, .1 and the journal, oldest first")
    lines = open(journal + ".2", encoding="utf-8").read().split("\n")
    number = lines.index("rotated garbage") + 1
    failures.check(f"{journal}.2: line {number}: not a journal record; skipped" in err,
                   f"rotated: the bad line named by its file: {err!r}")


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    program, vornsim, netns = sys.argv[1:]
    processes.require_test_namespace(netns)
    failures = processes.Failures()
    sim = processes.simulator(vornsim, DEVICES)
    with tempfile.TemporaryDirectory(prefix="vorn-journal-") as folder:
        journal = os.path.join(folder, "journal.jsonl")
        try:
            default_place(program, failures)
            interrupted(program, sim, journal, failures)
            damaged_and_filters(program, journal, failures)
            inventory(program, sim, failures)
            rotated(program, journal, failures)
        finally:
            processes.stop_simulator(sim)
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
