#!/usr/bin/env python3
"""The Lua dissector (src/apps/dissector/vorn.lua) read by tshark:

- over the committed captures in src/apps/dissector/captures (each with the
  simulator's event lines and vornctl's outputs of its recording),
- over captures recorded afresh of vornsim and vornctl inside this test's
  network namespace (skipped outside one),
- over crafted datagrams (short, wrong lengths, wrong check value, wrapped and
  short presence, an unterminated name).

The fields tshark prints must match what the tool sent and the simulator
received and answered; no frame may raise a dissector error.

usage: dissector_test.py LUA CAPTURES_DIR WORK_DIR VORNSIM VORNCTL NETNS_SCRIPT
       dissector_test.py --record CAPTURES_DIR VORNSIM VORNCTL   (makes the committed ones)"""

import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "..", "..", "..", "tools", "testing"))
import processes  # noqa: E402
import crafted  # noqa: E402
import sessions  # noqa: E402

CHECKS = {"session": sessions.check_session, "faults": sessions.check_faults}


def check_recording(tshark, lua, directory, failures, label):
    frames, verbose = sessions.dissect(tshark, lua, os.path.join(directory, "capture.pcapng"))
    sim, outputs = sessions.load(directory)
    before = failures.count
    CHECKS[os.path.basename(directory)](frames, verbose, sim, outputs, failures)
    print(f"{label} {os.path.basename(directory)}: {len(frames)} frames, "
          f"{'ok' if failures.count == before else 'FAILED'}", flush=True)


def check_crafted(tshark, lua, work, failures):
    cases = crafted.cases()
    path = os.path.join(work, "crafted.pcap")
    crafted.write_pcap(path, [(payload, source, destination) for payload, source, destination, _ in cases])
    frames, verbose = sessions.dissect(tshark, lua, path)
    sessions.check_no_dissector_errors(frames, verbose, failures, "crafted")
    failures.equal(len(frames), len(cases), "crafted: frames")
    before = failures.count
    for index, (frame, case) in enumerate(zip(frames, cases)):
        mark = failures.count
        case[3](frame, failures)
        if failures.count != mark:
            print(f"  in crafted frame {index + 1}", flush=True)
    print(f"crafted: {len(frames)} frames, {'ok' if failures.count == before else 'FAILED'}", flush=True)


def record_all(captures, vornsim, vornctl):
    for scenario in CHECKS:
        directory = os.path.join(captures, scenario)
        shutil.rmtree(directory, ignore_errors=True)
        sessions.record(directory, scenario, vornsim, vornctl)
        print(f"recorded {directory}")


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "--record":
        record_all(*sys.argv[2:])
        return 0
    if len(sys.argv) != 7:
        print(__doc__, file=sys.stderr)
        return 2
    lua, captures, work, vornsim, vornctl, netns = sys.argv[1:]
    tshark = shutil.which("tshark")
    if tshark is None:
        processes.skip("tshark is not installed (scripts/setup.sh installs it)")
    lua_support = subprocess.run([tshark, "--version"], capture_output=True, text=True).stdout
    if "with Lua" not in lua_support:
        processes.skip("this tshark has no Lua")
    os.makedirs(work, exist_ok=True)

    failures = processes.Failures()
    check_crafted(tshark, lua, work, failures)
    for scenario in CHECKS:
        check_recording(tshark, lua, os.path.join(captures, scenario), failures, "committed")

    # Without fresh recordings the test has not done its whole job: it ends as
    # skipped (a failure in CI) once the committed captures have passed.
    namespace = subprocess.run([netns, "--check"], capture_output=True, text=True)
    cannot_record = None
    if namespace.returncode != 0:
        cannot_record = namespace.stderr.strip()
    elif shutil.which("dumpcap") is None:
        cannot_record = "dumpcap is not installed"
    if cannot_record is not None:
        if failures.count:
            failures.finish()
        processes.skip("no fresh recordings: " + cannot_record)
    for scenario in CHECKS:
        directory = os.path.join(work, scenario)
        shutil.rmtree(directory, ignore_errors=True)
        sessions.record(directory, scenario, vornsim, vornctl)
        check_recording(tshark, lua, directory, failures, "fresh")
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
