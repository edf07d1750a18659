"""Recorded sessions of vornctl and vornsim, and what their captures must show
when the dissector reads them.

A session directory holds capture.pcapng (dumpcap on the loopback of a private
network namespace), sim.log (vornsim's event lines) and outputs.json (each
vornctl command line with its exit status, stdout and stderr)."""

import json
import os
import re
import signal
import socket
import subprocess
import time

import processes

TOOL_ID_RE = r"[0-9a-f]{8}:[0-9a-f]{8}"

ONDAL = "00000400:00000001"
WRAPPED = "00000400:00000002"
MALFORMED = "00000500:00000001"
SHORT = "00000500:00000002"
DOUBLE = "00000500:00000003"
MUTE = "00000500:00000004"
NEW_SERIAL = 4294967295

# Devices of the clean session: one per type code 0..21 (the product names of
# the list against the dissector's), one of them announcing itself wrapped.
SESSION_DEVICES = [f"id={ONDAL},type=12,name=Stage \"left\",address=127.0.0.2,serial=100001",
                   f"id={WRAPPED},type=7,name=Amp rack,address=127.0.0.3,serial=55,"
                   "mode=0x42,wrapped=1,changemark=-5,changemarkb=9,tag=0x1122334455667788"]
SESSION_DEVICES += [f"id=00000401:{code:08x},type={code},name=type {code},address=127.0.0.4,"
                    f"serial={code}" for code in range(22) if code not in (7, 12)]

FAULT_DEVICES = [f"id={MALFORMED},type=10,name=Malformed,address=127.0.0.2,serial=1",
                 f"id={SHORT},type=11,name=Short,address=127.0.0.3,serial=2",
                 f"id={DOUBLE},type=12,name=Double,address=127.0.0.4,serial=3",
                 f"id={MUTE},type=13,name=Mute,address=127.0.0.5,serial=4"]


class Capture:
    """A capture of UDP on lo for the life of the object. It counts as running
    once a marker datagram sent after its start shows up in its own output."""

    MARKER = ("127.0.0.1", 9)  # the discard port: nobody answers

    def __init__(self, path):
        self.program = processes.Program(["tshark", "-n", "-l", "-P", "-i", "lo", "-f", "udp",
                                          "-w", path])
        try:
            if not self._marker_seen():
                raise RuntimeError("the capture did not start: " + " | ".join(self.program.errors))
        except BaseException:
            self.program.process.kill()
            self.program.finish(10)
            raise

    def _marker_seen(self):
        """Sends marker datagrams until one shows up in the capture's output
        (30 s at most); False if none did. The capture's lines before it are
        read and passed over; a marker is known by its socket's own source
        port, so that one left over from an earlier call does not count."""
        marker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            marker.bind(("127.0.0.1", 0))
            ours = re.compile(rf"\b{marker.getsockname()[1]}\s+9\b")
            deadline = time.monotonic() + 30
            next_send = 0.0
            while time.monotonic() < deadline:
                if time.monotonic() >= next_send:
                    marker.sendto(b"capture marker", self.MARKER)
                    next_send = time.monotonic() + 0.2
                line = self.program.next_line(0.2)
                if line is not None and ours.search(line.replace("\u2192", " ")):
                    return True
            return False
        finally:
            marker.close()

    def flush(self):
        """Returns once every datagram sent on lo before the call is in the
        capture: they come before a marker sent now, which it waits for."""
        if not self._marker_seen():
            raise RuntimeError("the capture did not show a marker within 30 s")

    def stop(self):
        self.program.process.send_signal(signal.SIGINT)
        if self.program.finish(20) is None:
            raise RuntimeError("the capture did not end on SIGINT")


def _vornctl(vornctl, arguments):
    run = subprocess.run([vornctl, "--interface", "127.0.0.1", *arguments], capture_output=True,
                         text=True, timeout=120, env=processes.environment(), stdin=subprocess.DEVNULL)
    return {"command": arguments, "status": run.returncode, "out": run.stdout, "err": run.stderr}


def _in_parallel(vornctl, commands):
    started = [subprocess.Popen([vornctl, "--interface", "127.0.0.1", *arguments],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                env=processes.environment(), stdin=subprocess.DEVNULL)
               for arguments in commands]
    results = []
    for arguments, program in zip(commands, started):
        out, err = program.communicate(timeout=120)
        results.append({"command": arguments, "status": program.returncode, "out": out, "err": err})
    return results


def record(directory, scenario, vornsim, vornctl):
    """Runs the scenario ("session" or "faults") under capture into `directory`."""
    os.makedirs(directory, exist_ok=True)
    capture = Capture(os.path.join(directory, "capture.pcapng"))
    devices = SESSION_DEVICES if scenario == "session" else FAULT_DEVICES
    sim = processes.simulator(vornsim, devices, ["--interval", "1000"])
    try:
        if scenario == "session":
            outputs = [_vornctl(vornctl, ["list", "--all", "--json", "--wait", "0.5"]),
                       _vornctl(vornctl, ["serial", "get", ONDAL]),
                       _vornctl(vornctl, ["serial", "set", ONDAL, str(NEW_SERIAL), "--yes"]),
                       _vornctl(vornctl, ["select", ONDAL]),
                       _vornctl(vornctl, ["deselect", ONDAL])]
        else:
            for command in (f"malformed {MALFORMED} on", f"short {SHORT} on",
                            f"duplicate {DOUBLE} on", f"refuse-writes {DOUBLE} on",
                            f"lose-replies {MUTE} 1000"):
                sim.send(command)
                if sim.wait_for(lambda line, c=command: line == "ok " + c, 20) is None:
                    raise RuntimeError("vornsim did not take: " + command)
            outputs = _in_parallel(vornctl, [["serial", "get", MALFORMED],
                                             ["serial", "get", SHORT],
                                             # Only the four requests: the other devices'
                                             # numbers are not read for the duplicate check.
                                             ["serial", "set", DOUBLE, "7", "--yes",
                                              "--allow-duplicate"],
                                             ["serial", "get", MUTE]])
        # The last replies are in the capture before it ends.
        capture.flush()
    finally:
        processes.stop_simulator(sim)
        capture.stop()
    # Every event line of the simulator as it printed it.
    with open(os.path.join(directory, "sim.log"), "w") as log:
        for line in sim.seen:
            log.write(line + "\n")
        while True:
            line = sim.next_line(0)
            if line is None:
                break
            log.write(line + "\n")
    with open(os.path.join(directory, "outputs.json"), "w") as out:
        json.dump(outputs, out, indent=1)


# ---------------------------------------------------------------- reading --

FIELDS = ["frame.number", "vorn", "ip.src", "udp.srcport", "ip.dst", "udp.dstport", "udp.length",
          "vorn.src", "vorn.dst", "vorn.command", "vorn.seq", "vorn.length", "vorn.kind",
          "vorn.check", "vorn.check.computed", "vorn.check.status", "vorn.serial",
          "vorn.board_record", "vorn.name", "vorn.select", "vorn.ack.status", "vorn.ack.accepted",
          "vorn.presence.product", "vorn.presence.device_type", "vorn.presence.mode",
          "vorn.presence.mode_flags", "vorn.presence.change_mark", "vorn.presence.station_tag",
          "vorn.wrapped.count", "vorn.request_in", "vorn.response_in", "vorn.time",
          "vorn.retransmission_of", "vorn.duplicate_of", "vorn.unanswered",
          "_ws.expert.message", "_ws.expert", "_ws.lua.text"]


# UDP's own guess about a datagram to or from the traceroute ports (33434 to 33534), which an
# ephemeral port of vornctl or vornsim now and then is: no remark of the dissector's.
UDP_TRACEROUTE = "Possible traceroute"


def tshark_base(tshark, lua):
    return [tshark, "-2", "-n", "-X", f"lua_script:{lua}", "-o", "udp.try_heuristic_first:TRUE"]


def dissect(tshark, lua, capture):
    """Every frame as a dict of field -> list of values, and the verbose text."""
    fields = []
    for name in FIELDS:
        fields += ["-e", name]
    run = subprocess.run(tshark_base(tshark, lua) + ["-r", capture, "-T", "json"] + fields,
                         capture_output=True, text=True, timeout=120)
    if run.returncode != 0:
        raise RuntimeError(f"tshark failed ({run.returncode}): {run.stderr}")
    frames = [packet["_source"]["layers"] for packet in json.loads(run.stdout)]
    verbose = subprocess.run(tshark_base(tshark, lua) + ["-r", capture, "-V"],
                             capture_output=True, text=True, timeout=120)
    return frames, verbose.stdout + verbose.stderr


def first(frame, name, default=None):
    values = frame.get(name)
    return values[0] if values else default


def load(directory):
    with open(os.path.join(directory, "sim.log")) as log:
        sim = [line.rstrip("\n") for line in log]
    with open(os.path.join(directory, "outputs.json")) as out:
        outputs = json.load(out)
    return sim, outputs


def events(sim, kind):
    """The simulator's lines of one kind as dicts of their key=value pairs."""
    found = []
    for line in sim:
        words = line.split(" ")
        if words[0] == kind:
            found.append(dict(word.split("=", 1) for word in words[1:] if "=" in word))
    return found


def number(text):
    return int(text, 0)


def check_no_dissector_errors(frames, verbose, failures, what):
    failures.check("Lua Error" not in verbose, f"{what}: a Lua error in the dissection")
    failures.check("Malformed Packet" not in verbose, f"{what}: a frame was cut short")
    failures.check("Dissector bug" not in verbose, f"{what}: a dissector bug")
    # (Expert infos of the malformed group are the dissector's findings, not errors.)
    failures.check(not any("_ws.lua.text" in f for f in frames), f"{what}: Lua error fields")
    undissected = [first(f, "frame.number") for f in frames
                   if "vorn" not in f and first(f, "udp.dstport") == "6017"]
    failures.check(not undissected, f"{what}: frames to port 6017 not dissected: {undissected}")


def _matching(frames, **wanted):
    return [f for f in frames if all(first(f, k) == v for k, v in wanted.items())]


def own_frames(frames, sim):
    """The frames of the recorded session: to or from the ports of the vornctl
    runs the simulator heard. (A fresh recording shares the loopback with the
    other tests of the run.)"""
    ports = {event["port"] for event in events(sim, "tool-heard")}
    ports |= {event["from"].rsplit(":", 1)[1] for event in events(sim, "request")}
    return [f for f in frames if "vorn" in f and
            (first(f, "udp.srcport") in ports or first(f, "udp.dstport") in ports)]


def check_requests_and_replies(frames, sim, failures, what):
    """Each request the simulator received is a frame with its destination,
    command, sequence and source port; each reply it sent is a frame with its
    source, command, sequence, size and destination port."""
    for request in events(sim, "request"):
        port = request["from"].rsplit(":", 1)[1]
        seen = _matching(frames, **{"vorn.dst": request["device"], "vorn.command": request["command"],
                                    "vorn.seq": request["sequence"], "udp.srcport": port})
        failures.check(seen, f"{what}: no frame for the simulator's {request}")
    for reply in events(sim, "reply"):
        port = reply["to"].rsplit(":", 1)[1]
        seen = _matching(frames, **{"vorn.src": reply["device"], "vorn.command": reply["command"],
                                    "vorn.seq": reply["sequence"], "udp.dstport": port})
        failures.check(seen, f"{what}: no frame for the simulator's {reply}")
        for frame in seen:
            failures.equal(int(first(frame, "udp.length")) - 8, int(reply["bytes"]),
                           f"{what}: size of the reply in frame {first(frame, 'frame.number')}")
            failures.check(first(frame, "vorn.request_in"),
                           f"{what}: reply frame {first(frame, 'frame.number')} names no request")


def check_common(frames, verbose, sim, failures, what):
    """The checks every recording passes; returns the frames of the session."""
    check_no_dissector_errors(frames, verbose, failures, what)
    frames = own_frames(frames, sim)
    check_requests_and_replies(frames, sim, failures, what)
    return frames


def check_session(frames, verbose, sim, outputs, failures):
    what = "session"
    frames = check_common(frames, verbose, sim, failures, what)

    # Every message carries a good check value; every tracked request has its reply.
    for frame in frames:
        n = first(frame, "frame.number")
        failures.check(frame.get("vorn.check.status") and
                       all(status == "1" for status in frame["vorn.check.status"]),
                       f"{what}: check value status of frame {n}: {frame.get('vorn.check.status')}")
        ours = [m for m in frame.get("_ws.expert.message", []) if not m.startswith(UDP_TRACEROUTE)]
        failures.check(not ours, f"{what}: expert info in frame {n}: {ours}")
        if first(frame, "vorn.command") in ("102", "814") or first(frame, "vorn.kind") == "SetBoardID":
            failures.check(first(frame, "vorn.response_in"), f"{what}: request {n} has no reply")
        if first(frame, "vorn.request_in"):
            failures.check(first(frame, "vorn.time"), f"{what}: reply {n} has no reply time")

    # The list against the presence and name frames.
    listed = json.loads(outputs[0]["out"])
    failures.equal(len(listed), len(SESSION_DEVICES), f"{what}: devices listed")
    for device in listed:
        sent = [f for f in frames if device["id"] in (f.get("vorn.src") or [])]
        presence = [f for f in sent if first(f, "vorn.presence.product")]
        failures.check(presence, f"{what}: no presence of {device['id']}")
        for frame in presence:
            failures.equal(frame["vorn.presence.product"][-1], device["product"],
                           f"{what}: product of {device['id']}")
            failures.equal(int(frame["vorn.presence.device_type"][-1]), device["type"],
                           f"{what}: type of {device['id']}")
            failures.equal(int(frame["vorn.presence.mode"][-1]), device["mode"],
                           f"{what}: mode of {device['id']}")
            failures.equal(first(frame, "ip.src"), device["address"],
                           f"{what}: address of {device['id']}")
        names = [first(f, "vorn.name") for f in sent if first(f, "vorn.command") == "103"]
        # list reads each name; serial set reads its device's again for the journal.
        failures.check(names and set(names) == {device["name"]},
                       f"{what}: name replies of {device['id']}: {names}")

    wrapped = [f for f in frames if first(f, "vorn.command") == "5"]
    failures.check(wrapped, f"{what}: no wrapped presence")
    for frame in wrapped:
        failures.equal(frame.get("vorn.command"), ["5", "4"], f"{what}: wrapped commands")
        failures.equal(first(frame, "vorn.wrapped.count"), "1", f"{what}: wrapped count")
        failures.equal(first(frame, "vorn.presence.mode_flags"), "0x00000042", f"{what}: mode flags")
        failures.equal(first(frame, "vorn.presence.change_mark"), "9", f"{what}: change mark")
        failures.equal(first(frame, "vorn.presence.station_tag"), "4433221188776655",
                       f"{what}: station tag")

    # serial get: the number the tool printed is the board id of the reply.
    get = outputs[1]
    failures.equal((get["status"], get["out"]), (0, "Current serial number: 100001\n"),
                   f"{what}: serial get")
    replies = [f for f in frames if first(f, "vorn.src") == ONDAL and first(f, "vorn.kind") == "Board-id reply"]
    failures.equal([first(f, "vorn.serial") for f in replies][:2], ["100001", "100001"],
                   f"{what}: board ids read before the write")

    # serial set: the write carries the record just read with the new board id in bytes 60..63.
    writes = [f for f in frames if first(f, "vorn.kind") == "SetBoardID"]
    failures.equal(len(writes), 1, f"{what}: writes")
    set_output = outputs[2]
    failures.equal(set_output["status"], 0, f"{what}: serial set status")
    if writes:
        write = writes[0]
        failures.equal(first(write, "vorn.serial"), str(NEW_SERIAL), f"{what}: serial written")
        failures.equal(first(write, "vorn.dst"), ONDAL, f"{what}: write destination")
        before = [f for f in replies if int(first(f, "frame.number")) < int(first(write, "frame.number"))]
        read = first(before[-1], "vorn.board_record") if before else ""
        written = first(write, "vorn.board_record")
        failures.equal(len(written or ""), 128, f"{what}: board record size")
        failures.equal((written[:56], written[64:]), (read[:56], read[64:]),
                       f"{what}: record written back except the board id")
        failures.equal(written[56:64], "ffffffff", f"{what}: board id bytes written")
        ack = [f for f in frames if first(f, "vorn.request_in") == first(write, "frame.number")]
        failures.equal([first(f, "vorn.ack.accepted") for f in ack], ["1"], f"{what}: acknowledgement")
    failures.equal([e["value"] for e in events(sim, "serial-set")], [str(NEW_SERIAL)],
                   f"{what}: the simulator's serial-set")
    after = [first(f, "vorn.serial") for f in replies][-1:] if replies else []
    failures.equal(after, [str(NEW_SERIAL)], f"{what}: board id read back")

    # select and deselect.
    marks = [first(f, "vorn.select") for f in frames if first(f, "vorn.command") == "115"]
    failures.equal(marks, ["0xffff", "0x0000"], f"{what}: selection marks")
    failures.equal([e["mark"] for e in events(sim, "select")], ["ffff", "0000"],
                   f"{what}: the simulator's selection marks")

    # The tool's own presence.
    heartbeat = [f for f in frames if first(f, "vorn.command") == "9"]
    failures.check(heartbeat and all(re.fullmatch(TOOL_ID_RE, first(f, "vorn.src")) and
                                     first(f, "vorn.dst") == "fffffffe:fffffffd" for f in heartbeat),
                   f"{what}: tool presence frames")


def check_faults(frames, verbose, sim, outputs, failures):
    what = "faults"
    frames = check_common(frames, verbose, sim, failures, what)
    statuses = [o["status"] for o in outputs]
    failures.equal(statuses, [1, 1, 1, 1], f"{what}: exit statuses")

    def from_device(device):
        return [f for f in frames if first(f, "vorn.src") == device and first(f, "vorn.seq") != "0"]

    def has_expert(frame, text):
        return any(text in message for message in frame.get("_ws.expert.message", []))

    malformed = from_device(MALFORMED)
    failures.check(malformed, f"{what}: no replies of the malformed device")
    for frame in malformed:
        failures.check(has_expert(frame, "Reply carries command 1813, a Board-id reply carries 813"),
                       f"{what}: malformed reply {first(frame, 'frame.number')}: {frame.get('_ws.expert.message')}")
    short = from_device(SHORT)
    failures.check(short, f"{what}: no replies of the short device")
    for frame in short:
        failures.equal(first(frame, "udp.length"), str(8 + 99), f"{what}: short reply size")
        failures.check(has_expert(frame, "Board-id reply of 99 bytes is below its 100 bytes"),
                       f"{what}: short reply {first(frame, 'frame.number')}: {frame.get('_ws.expert.message')}")
        failures.equal(first(frame, "vorn.check.status"), "1", f"{what}: check of a short reply")

    # A reply with the wrong command or size still completes the request (the
    # tool matches by sequence and then rejects it); only the mute device makes
    # the tool send again, five times.
    for device, count in ((MALFORMED, 1), (SHORT, 1), (MUTE, 6)):
        sent = [f for f in frames if first(f, "vorn.dst") == device and first(f, "vorn.command") == "814"]
        failures.equal(len(sent), count, f"{what}: board-id reads sent to {device}")
        failures.equal(len({first(f, "vorn.seq") for f in sent}), 1, f"{what}: one sequence for {device}")
        failures.equal(sum(1 for f in sent if first(f, "vorn.retransmission_of")), count - 1,
                       f"{what}: retransmissions to {device}")
    mute = [f for f in frames if first(f, "vorn.dst") == MUTE and first(f, "vorn.command") == "814"]
    failures.check(mute and all(first(f, "vorn.unanswered") == "1" for f in mute),
                   f"{what}: unanswered requests to the mute device")
    failures.equal(len(events(sim, "reply-lost")), 6, f"{what}: replies the mute device lost")

    # Duplicated replies and the refused write.
    double = from_device(DOUBLE)
    duplicates = [f for f in double if first(f, "vorn.duplicate_of")]
    failures.equal(len(duplicates), len(double) // 2, f"{what}: duplicates flagged")
    acks = [f for f in double if first(f, "vorn.command") == "2" and not first(f, "vorn.duplicate_of")]
    failures.equal([(first(f, "vorn.ack.status"), first(f, "vorn.ack.accepted")) for f in acks],
                   [("0", "0")], f"{what}: refusal")
    failures.check(acks and has_expert(acks[0], "refused"), f"{what}: refusal expert info")
    statuses = sorted({line.strip() for line in verbose.splitlines()
                       if line.strip().startswith("Acknowledgement status")})
    failures.check("Acknowledgement status: Refused (0)" in statuses
                   and not any("Unknown" in line for line in statuses),
                   f"{what}: a refusal's status is named: {statuses}")
