#!/usr/bin/env python3
"""vornctl watch end to end: the program against vornsim in the test's network
namespace. A device appears (with product and address), is named, changes, is
removed when it goes silent and appears again; another product shows only with
--all; Ctrl-C (SIGINT) ends the watch with status 0. Every line is read through
a pipe while vornctl runs, so each must have been flushed on its own.

usage: watch_test.py VORNCTL VORNSIM NETNS_SCRIPT"""

import json
import os
import re
import signal
import sys

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "..", "tools",
                                "testing"))
import processes  # noqa: E402

ONDAL = "00000300:00000001"
CORVET = "00000300:00000002"
DEVICES = [
    f"id={ONDAL},type=12,name=Watch me,address=127.0.0.2,serial=1",
    f"id={CORVET},type=7,name=Amp,address=127.0.0.3,serial=2",
]
TIME = r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z"
# The frame list forgets a device 10 to 11 s after its last presence.
REMOVAL = 20


def watch(vornctl, *options):
    return processes.Program([vornctl, "--interface", "127.0.0.1", "watch", *options],
                             env=processes.environment())


def interrupt(program, failures, what):
    program.process.send_signal(signal.SIGINT)
    # Ending tears down the engine's threads; under ThreadSanitizer on a loaded
    # 2-core machine that once took longer than 10 s. A hang still fails here.
    status = program.finish(30)
    failures.equal(status, 0, f"{what}: exit status after SIGINT")
    failures.equal(program.errors, [], f"{what}: stderr")


def json_run(vornctl, vornsim, failures):
    sim = processes.simulator(vornsim, DEVICES)
    program = watch(vornctl, "--json")
    try:
        def event(kind, device=ONDAL):
            def matches(line):
                record = json.loads(line)
                return record["event"] == kind and record["id"] == device
            line = program.wait_for(matches, REMOVAL)
            failures.check(line is not None, f"json: no {kind} event for {device}")
            return json.loads(line) if line else {}

        added = event("added")
        failures.equal({k: added.get(k) for k in ("product", "type", "address", "mode")},
                       {"product": "Ondal 4", "type": 12, "address": "127.0.0.2", "mode": 0},
                       "json: added")
        failures.check(re.fullmatch(TIME, added.get("time", "")), f"json: time {added}")
        failures.equal(event("named").get("name"), "Watch me", "json: name")

        sim.send(f"changemark {ONDAL} 5")
        failures.equal(event("changed").get("address"), "127.0.0.2", "json: changed")

        sim.send(f"gone {ONDAL} on")
        event("removed")
        sim.send(f"gone {ONDAL} off")
        event("added")
        event("named")
    finally:
        interrupt(program, failures, "json")
        processes.stop_simulator(sim)
    for line in program.seen:
        record = json.loads(line)  # every line one object
        failures.check(record["id"] != CORVET, f"json: another product shown without --all: {line}")
        failures.check(re.fullmatch(TIME, record["time"]), f"json: time of {line}")


def text_run(vornctl, vornsim, failures):
    sim = processes.simulator(vornsim, DEVICES)
    program = watch(vornctl, "--all")
    expected = [f"{TIME}  added        {ONDAL}  Ondal 4 \\(type 12\\)  127\\.0\\.0\\.2  mode 0",
                f"{TIME}  added        {CORVET}  Corvet \\(type 7\\)  127\\.0\\.0\\.3  mode 0",
                f'{TIME}  named        {ONDAL}  "Watch me"',
                f'{TIME}  named        {CORVET}  "Amp"']
    try:
        # The two devices' lines may come in either order.
        complete = program.wait_for_all(
            [lambda line, p=pattern: re.fullmatch(p, line) for pattern in expected], REMOVAL)
        failures.check(complete, f"text: expected lines {expected} in {program.seen}")
    finally:
        interrupt(program, failures, "text")
        processes.stop_simulator(sim)


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    vornctl, vornsim, netns = sys.argv[1:]
    processes.require_test_namespace(netns)
    failures = processes.Failures()
    json_run(vornctl, vornsim, failures)
    text_run(vornctl, vornsim, failures)
    failures.finish()


if __name__ == "__main__":
    sys.exit(main())
