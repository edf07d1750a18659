#!/usr/bin/env python3
"""The fleet end to end, every process a real one: two mosquitto brokers (TLS with an authority
this test makes, one account per box, the ACL of packaging/mosquitto), two boxes (vornctl serve
--report with a vornsim each, every box in a network namespace of its own on a veth pair to the
brokers' namespace), and the archive (vornctl fleet with both brokers).

Checked: every device and serial number in the archive; a write stored within 2 s; the broker
refusing a box that publishes under another's name; a forged box name in a payload stored under
the topic's box. Then, while both boxes keep writing, the faults on the first box's broker and
link: kill -9 (the box never shown offline), kill -9 with its stored state deleted, the broker
hung (SIGSTOP), the archive stopped, the link dropped by an nftables rule so that the
connection hangs half-open; every record written stored within 90 s of the last fault's end,
without restarting a box, 0 lost, 0 twice, counted against the boxes' journals. Last, a box
killed between a write's intent and its outcome: the intent stored, shown interrupted; and a
box's password file read again on SIGHUP.

The pauses are shorter than a real outage (15 s, not a minute) to keep the run short; what a
longer one adds is only more records waiting in the outbox.

It fails (never skips) when mosquitto, openssl, nft or ip is missing.

usage: fleet_test.py VORNCTL VORNSIM NETNS_SCRIPT"""

import json
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time

sys.dont_write_bytecode = True  # no cache files in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                                "tools", "testing"))
import processes  # noqa: E402

PORTS = (8883, 8884)  # one broker for each box
BOXES = ("bench-a", "bench-b")
PASSWORD = {"bench-a": "pa-a", "bench-b": "pa-b", "bench-x": "pa-x", "archive": "pa-archive"}
WRITES_PER_SECOND = 2  # each box
TOKEN = "0123456789abcdef" * 3  # serve's, from its token file


def run(*argv, check=True, **kwargs):
    return subprocess.run(list(argv), check=check, capture_output=True, text=True, timeout=60,
                          **kwargs)


def private_file(path, text):
    with open(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as file:
        file.write(text)


class Authority:
    """A certificate authority of this test and the brokers' certificate."""

    def __init__(self, work):
        self.ca = os.path.join(work, "ca.pem")
        self.cert = os.path.join(work, "broker.pem")
        self.key = os.path.join(work, "broker.key")
        ca_key = os.path.join(work, "ca.key")
        curve = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        run("openssl", "req", "-x509", *curve, "-keyout", ca_key, "-out", self.ca, "-days", "2",
            "-subj", "/CN=fleet test authority")
        request = os.path.join(work, "broker.csr")
        run("openssl", "req", "-new", *curve, "-keyout", self.key, "-out", request,
            "-subj", "/CN=broker")
        names = os.path.join(work, "names.ext")
        with open(names, "w") as file:
            file.write("subjectAltName=IP:127.0.0.1,IP:10.77.1.1,IP:10.77.2.1\n")
        run("openssl", "x509", "-req", "-in", request, "-CA", self.ca, "-CAkey", ca_key,
            "-CAcreateserial", "-out", self.cert, "-days", "2", "-extfile", names)


class Broker:
    """mosquitto as packaging/mosquitto/vornservice-broker.conf has it, on one port."""

    def __init__(self, work, port, authority, passwords, acl, example):
        self.port = port
        self.folder = os.path.join(work, f"broker-{port}")
        os.makedirs(self.folder)
        self.conf = os.path.join(self.folder, "mosquitto.conf")
        self.log = os.path.join(self.folder, "log")
        with open(example) as file:
            lines = file.read().splitlines()
        # The example's lines, its paths and port replaced by this test's.
        places = {"listener": f"listener {port} 0.0.0.0",
                  "cafile": f"cafile {authority.ca}",
                  "certfile": f"certfile {authority.cert}",
                  "keyfile": f"keyfile {authority.key}",
                  "password_file": f"password_file {passwords}",
                  "acl_file": f"acl_file {acl}",
                  "persistence_location": f"persistence_location {self.folder}/",
                  "log_dest": f"log_dest file {self.log}"}
        config = [places.get(line.split(" ")[0], line) for line in lines]
        config.append("user root")  # the test's files and folder are root's
        with open(self.conf, "w") as file:
            file.write("\n".join(config) + "\n")
        self.process = None

    def start(self):
        self.process = subprocess.Popen(["mosquitto", "-c", self.conf],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None:
                    break
                time.sleep(0.05)
        raise RuntimeError(f"mosquitto on {self.port} did not start; see {self.log}")

    def kill(self):
        self.process.kill()
        self.process.wait()

    def delete_state(self):
        os.remove(os.path.join(self.folder, "mosquitto.db"))

    def signal(self, number):
        self.process.send_signal(number)

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            self.process.wait(timeout=20)


class Box:
    """A service box: a network namespace on a veth pair, vornsim and vornctl serve --report."""

    def __init__(self, work, index, name, vornctl, vornsim, authority):
        self.index, self.name = index, name
        self.vornctl, self.vornsim, self.authority = vornctl, vornsim, authority
        self.namespace = f"vornfleet-{index}-{os.getpid()}"
        self.host_link = f"vfleet{index}"
        self.folder = os.path.join(work, name)
        os.makedirs(self.folder)
        self.journal = os.path.join(self.folder, "vornctl", "journal.jsonl")
        self.password_file = os.path.join(self.folder, "password")
        private_file(self.password_file, PASSWORD[name] + "\n")
        self.token_file = os.path.join(self.folder, "token")
        private_file(self.token_file, TOKEN + "\n")
        self.broker_address = f"10.77.{index}.1"
        self.devices = [f"000007{index:02x}:0000000{n}" for n in (1, 2)]
        self.sim = self.serve = None
        try:
            self.make(index, vornsim)
        except BaseException:
            if self.sim:
                self.sim.process.kill()
                self.sim.finish(10)
            self.remove()
            raise

    def make(self, index, vornsim):
        run("ip", "netns", "add", self.namespace)
        run("ip", "link", "add", self.host_link, "type", "veth", "peer", "name", "vorn1",
            "netns", self.namespace)
        run("ip", "addr", "add", f"{self.broker_address}/24", "dev", self.host_link)
        run("ip", "link", "set", self.host_link, "up")
        for command in (["ip", "link", "set", "lo", "up"],
                        ["ip", "addr", "add", f"10.77.{index}.2/24", "dev", "vorn1"],
                        ["ip", "link", "set", "vorn1", "up"]):
            run("ip", "netns", "exec", self.namespace, *command)
        argv = self.inside(vornsim) + ["--stdin-control", "--interval", "200"]
        for n, device in enumerate(self.devices, 1):
            argv += ["--device", f"id={device},type=12,name=Bench {index} amp {n},"
                                 f"address=127.0.0.{n + 1},serial={index * 100 + n}"]
        self.sim = processes.Program(argv, stdin=subprocess.PIPE)
        if self.sim.wait_for(lambda line: line.startswith("ready "), 20) is None:
            raise RuntimeError(f"{self.name}: vornsim did not start: {self.sim.errors}")

    def inside(self, program):
        return ["ip", "netns", "exec", self.namespace, program]

    def start(self, port):
        self.serve = processes.Program(
            self.inside(self.vornctl) + [
                "--interface", "127.0.0.1", "--journal", self.journal, "serve", "--listen",
                "127.0.0.1:18017", "--token-file", self.token_file,
                "--report", f"mqtts://{self.broker_address}:{port}",
                "--report-ca", self.authority.ca, "--report-user", self.name,
                "--report-password-file", self.password_file, "--box", self.name,
                "--site", f"Bench {self.index}"],
            env=dict(processes.environment(), XDG_STATE_HOME=self.folder))
        if self.serve.wait_for(lambda line: line.startswith("serving "), 20) is None:
            raise RuntimeError(f"{self.name}: serve did not start: {self.serve.errors}")

    def write(self, device, serial):
        """A serial write through serve's API; its result, or the error."""
        client = ("import json,sys,urllib.request\n"
                  "r=urllib.request.Request(sys.argv[1],data=sys.argv[2].encode(),method='PUT',"
                  "headers={'Authorization':'Bearer '+sys.argv[3],"
                  "'Origin':'http://127.0.0.1:18017','Content-Type':'application/json'})\n"
                  "try:\n print(json.load(urllib.request.urlopen(r,timeout=30))['result'])\n"
                  "except Exception as e:\n print('error',e)\n")
        body = json.dumps({"serial": serial, "repeat": serial})
        url = f"http://127.0.0.1:18017/api/devices/{device}/serial"
        answer = subprocess.run(self.inside(sys.executable) + ["-c", client, url, body, TOKEN],
                                capture_output=True, text=True, timeout=60)
        return answer.stdout.strip()

    def kill_serve(self):
        self.serve.process.kill()
        self.serve.finish(20)

    def stop(self):
        if self.serve and self.serve.process.poll() is None:
            self.serve.process.terminate()
            self.serve.finish(20)
        processes.stop_simulator(self.sim)

    def remove(self):
        subprocess.run(["ip", "netns", "del", self.namespace], capture_output=True)
        subprocess.run(["ip", "link", "del", self.host_link], capture_output=True)

    def journal_lines(self):
        """The journal's numbered records, as written: {seq: line}."""
        lines = {}
        with open(self.journal) as file:
            for line in file:
                record = json.loads(line)
                lines[record["seq"]] = line.rstrip("\n")
        return lines


class Archive:
    def __init__(self, work, vornctl, authority):
        self.vornctl = vornctl
        self.database = os.path.join(work, "fleet.db")
        password = os.path.join(work, "archive-password")
        private_file(password, PASSWORD["archive"] + "\n")
        self.argv = [vornctl, "fleet", "--archive", self.database, "--broker-ca", authority.ca,
                     "--broker-user", "archive", "--broker-password-file", password]
        for port in PORTS:
            self.argv += ["--broker", f"mqtts://127.0.0.1:{port}"]
        self.program = None

    def start(self):
        self.program = processes.Program(self.argv, env=processes.environment())

    def stop(self):
        if self.program and self.program.process.poll() is None:
            self.program.process.terminate()
            return self.program.finish(20)
        return None

    def query(self, sql, *parameters):
        if not os.path.exists(self.database):
            return []
        with sqlite3.connect(f"file:{self.database}?mode=ro", uri=True, timeout=10) as db:
            return db.execute(sql, parameters).fetchall()

    def stored(self, box):
        return {seq: line for seq, line in
                self.query("SELECT seq, line FROM records WHERE box = ?", box)}

    def command(self, *arguments):
        answer = run(self.vornctl, "fleet", *arguments, "--archive", self.database, "--json",
                     check=False)
        return json.loads(answer.stdout) if answer.returncode == 0 else None


def wait_until(condition, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(step)
    return condition()


class Writer:
    """Writes on every box, a few times a second each, until stopped."""

    def __init__(self, boxes):
        self.boxes = boxes
        self.stopping = threading.Event()
        self.results = []
        self.thread = threading.Thread(target=self.run)
        self.next_serial = 30000000

    def run(self):
        while not self.stopping.is_set():
            for box in self.boxes:
                self.next_serial += 1
                self.results.append(box.write(box.devices[self.next_serial % 2], self.next_serial))
            self.stopping.wait(1 / WRITES_PER_SECOND)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exception):
        self.stopping.set()
        self.thread.join()


def publish(port, authority, user, topic, payload):
    """mosquitto_pub as `user`, QoS 1; its exit status and what it said."""
    answer = run("mosquitto_pub", "-h", "127.0.0.1", "-p", str(port), "--cafile", authority.ca,
                 "-u", user, "-P", PASSWORD[user], "-V", "mqttv5", "-q", "1", "-t", topic, "-m",
                 payload, check=False)
    return answer.returncode, answer.stdout + answer.stderr


def write_passwords(path):
    """The brokers' password file, hashed."""
    with open(path, "w") as file:
        file.writelines(f"{user}:{password}\n" for user, password in PASSWORD.items())
    run("mosquitto_passwd", "-U", path)


def record(sequence, entry, box_name):
    return json.dumps({"time": "2026-12-08T10:00:00.000Z", "event": "intent", "entry": entry,
                       "operator": "mallory", "host": "elsewhere", "tool": "vornctl 1.0.0",
                       "interface": "127.0.0.1", "id": "00000799:00000001", "name": "Forged",
                       "product": "Ondal 4", "address": "127.0.0.2", "old": 1, "new": 2,
                       "box": box_name, "seq": sequence})


def check_delivery(failures, boxes, archive, what):
    """Every numbered record of every box's journal stored once, as written."""
    for box in boxes:
        written = box.journal_lines()
        stored = archive.stored(box.name)
        lost = sorted(set(written) - set(stored))
        failures.check(not lost, f"{what}: {box.name}: {len(lost)} of {len(written)} records "
                                 f"lost, first {lost[:5]}")
        extra = sorted(set(stored) - set(written))
        failures.check(not extra, f"{what}: {box.name}: stored records never written: {extra}")
        changed = [seq for seq in written if seq in stored and stored[seq] != written[seq]]
        failures.check(not changed, f"{what}: {box.name}: records stored otherwise: {changed}")
        # Twice: one write's intent or outcome under two numbers.
        events = archive.query("SELECT entry, event, count(*) FROM records WHERE box = ? "
                               "GROUP BY entry, event HAVING count(*) > 1", box.name)
        failures.check(not events, f"{what}: {box.name}: stored twice: {events}")
        print(f"{what}: {box.name}: {len(written)} records written, {len(stored)} stored",
              flush=True)


def all_stored(boxes, archive):
    return all(set(box.journal_lines()) <= set(archive.stored(box.name)) for box in boxes)


def connected(box):
    """Whether the box's serve says it is connected to its broker now."""
    errors = list(box.serve.errors)
    return (sum("reporting to" in line for line in errors) >
            sum("connection was lost" in line for line in errors))


def box_state(archive, name):
    rows = archive.query("SELECT online FROM boxes WHERE box = ?", name)
    return rows[0][0] if rows else None


def main():
    vornctl, vornsim, netns = processes.arguments(__doc__.splitlines()[-1], 3)
    processes.require_test_namespace(netns)
    missing = [tool for tool in ("mosquitto", "mosquitto_pub", "mosquitto_passwd", "openssl",
                                 "nft", "ip") if shutil.which(tool) is None]
    if missing:
        print(f"FAILED: cannot run without {', '.join(missing)} (scripts/setup.sh installs them)",
              flush=True)
        sys.exit(1)
    failures = processes.Failures()
    source = os.path.dirname(os.path.abspath(__file__))
    packaging = os.path.join(source, "..", "..", "..", "packaging", "mosquitto")
    work = tempfile.mkdtemp(prefix="vorn-fleet-")
    brokers, boxes, archive = [], [], None
    try:
        authority = Authority(work)
        passwords = os.path.join(work, "passwords")
        write_passwords(passwords)
        acl = os.path.join(packaging, "vornservice-broker.acl")
        example = os.path.join(packaging, "vornservice-broker.conf")
        brokers = [Broker(work, port, authority, passwords, acl, example) for port in PORTS]
        for broker in brokers:
            broker.start()
        archive = Archive(work, vornctl, authority)
        archive.start()
        for index, name in enumerate(BOXES, 1):
            boxes.append(Box(work, index, name, vornctl, vornsim, authority))
        for box, port in zip(boxes, PORTS):
            box.start(port)
        first = boxes[0]

        # Every device with its serial number, each under its own box and site.
        expected = sorted((box.name, f"Bench {box.index}", device, box.index * 100 + n)
                          for box in boxes for n, device in enumerate(box.devices, 1))
        devices = lambda: sorted(archive.query(  # noqa: E731
            "SELECT d.box, b.site, d.id, d.serial FROM devices d JOIN boxes b USING (box)"))
        failures.check(wait_until(lambda: devices() == expected, 40),
                       f"devices in the archive: {devices()} != {expected}")
        online = archive.command("boxes")
        failures.equal([(b["box"], b["state"], b["devices"]) for b in online or []],
                       [(box.name, "online", 2) for box in boxes], "fleet boxes")

        # A write stored within 2 s.
        before = len(archive.stored(first.name))
        failures.equal(first.write(first.devices[0], 20261207), "verified", "the first write")
        started = time.monotonic()
        stored = wait_until(lambda: len(archive.stored(first.name)) >= before + 2, 10, 0.02)
        took = time.monotonic() - started
        print(f"a write stored {took:.2f} s after its outcome", flush=True)
        failures.check(stored and took <= 2, f"a write stored after {took:.2f} s")
        journal = archive.command("journal", "--serial", "20261207")
        failures.equal([(e["box"], e["id"], e["result"]) for e in journal or []],
                       [(first.name, first.devices[0], "verified")], "fleet journal --serial")
        failures.check(wait_until(lambda: any(
            row[0] == 20261207 for row in archive.query(
                "SELECT serial FROM devices WHERE id = ?", first.devices[0])), 5),
            "the device's new serial number in the archive")

        # The broker refuses a box writing under another's name; a forged name in a
        # payload is stored under the topic's box.
        status, said = publish(PORTS[0], authority, "bench-x", "vorn/v1/box/bench-a/journal",
                               record(999999, "forged-under-a", "bench-a"))
        publish(PORTS[0], authority, "bench-x", "vorn/v1/box/bench-x/journal",
                record(1, "forged-name", "bench-a"))
        failures.check(wait_until(lambda: archive.stored("bench-x"), 5),
                       "the record of bench-x stored")
        failures.equal(archive.query("SELECT box FROM records WHERE entry = 'forged-name'"),
                       [("bench-x",)], "a forged box name in the payload")
        failures.equal(archive.query("SELECT box FROM records WHERE entry = 'forged-under-a'"),
                       [], f"a record under another box's name (mosquitto_pub: {status} {said})")

        # The faults, while both boxes write.
        with Writer(boxes) as writer:
            back = lambda: failures.check(  # noqa: E731
                wait_until(lambda: connected(first), 30), "the box connected before the fault")
            time.sleep(2)
            # kill -9 and back at once: the box is never shown offline.
            brokers[0].kill()
            time.sleep(1)
            brokers[0].start()
            states = []
            wait_until(lambda: states.append(box_state(archive, first.name)) and False, 8, 0.1)
            failures.check(all(state == 1 for state in states),
                           f"a quick reconnect showed the box offline: {states}")
            # kill -9, its stored state deleted.
            back()
            brokers[0].kill()
            brokers[0].delete_state()
            brokers[0].start()
            # Hung for 15 s.
            back()
            brokers[0].signal(signal.SIGSTOP)
            time.sleep(15)
            brokers[0].signal(signal.SIGCONT)
            time.sleep(3)
            # The archive away for 15 s.
            archive.stop()
            time.sleep(15)
            archive.start()
            # The link hangs half-open: the broker's side drops everything from the box.
            back()
            run("nft", "add", "table", "inet", "vornfleet")
            for hook in ("input", "forward"):
                run("nft", "add", "chain", "inet", "vornfleet", hook,
                    f"{{ type filter hook {hook} priority 0 ; }}")
                run("nft", "add", "rule", "inet", "vornfleet", hook, "ip", "saddr",
                    "10.77.1.2", "drop")
            # Long enough for the box to find the connection dead (no answer for twice
            # its keep-alive of 10 s) and try again while the rule still drops.
            time.sleep(35)
            run("nft", "delete", "table", "inet", "vornfleet")
        ended = time.monotonic()
        # The faults were felt: the first box lost its broker and came back, the other never.
        losses = [sum("connection was lost" in line for line in box.serve.errors) for box in boxes]
        print(f"connections lost: {losses}", flush=True)
        failures.check(losses[0] >= 3 and losses[1] == 0,
                       f"connections lost: {losses}: {first.serve.errors}")
        errors = [result for result in writer.results if result.startswith("error")]
        failures.check(not errors, f"writes that failed: {errors[:3]}")
        print(f"{len(writer.results)} writes during the faults", flush=True)
        failures.check(wait_until(lambda: all_stored(boxes, archive), 90, 0.5),
                       "every record stored within 90 s of the last fault's end")
        print(f"all stored {time.monotonic() - ended:.1f} s after the last fault", flush=True)
        check_delivery(failures, boxes, archive, "after the faults")

        # A box killed between a write's intent and its outcome: the device falls silent
        # after the write, so the read-back waits while the box dies.
        first.sim.send(f"mute-after-write {first.devices[1]} on")
        interrupted = threading.Thread(target=first.write, args=(first.devices[1], 424242))
        interrupted.start()
        intent = lambda: any(  # noqa: E731
            '"new":424242' in line for line in first.journal_lines().values())
        failures.check(wait_until(intent, 10, 0.02), "the intent of the interrupted write")
        first.kill_serve()
        interrupted.join()
        first.sim.send(f"mute-after-write {first.devices[1]} off")
        first.start(PORTS[0])
        failures.check(wait_until(lambda: all_stored(boxes, archive), 30, 0.2),
                       "the interrupted write's intent stored after the box's restart")
        check_delivery(failures, boxes, archive, "after the box was killed")
        journal = archive.command("journal", "--serial", "424242")
        failures.equal([(e["box"], e["result"]) for e in journal or []],
                       [(first.name, "interrupted")], "the interrupted write in fleet journal")

        # The password file read again on SIGHUP: a new password, refused until the
        # broker knows it too.
        second = boxes[1]
        private_file(second.password_file, "pa-b-new\n")
        second.serve.process.send_signal(signal.SIGHUP)
        failures.check(wait_until(lambda: any("refused" in line for line in second.serve.errors),
                                  20), f"a new password refused: {second.serve.errors}")
        PASSWORD[second.name] = "pa-b-new"
        write_passwords(passwords)
        brokers[1].signal(signal.SIGHUP)
        failures.check(wait_until(lambda: sum("reporting to" in line
                                              for line in second.serve.errors) >= 2, 30),
                       f"back with the new password: {second.serve.errors}")
    finally:
        for box in boxes:
            box.stop()
        if archive:
            archive.stop()
        for broker in brokers:
            broker.stop()
        for box in boxes:
            box.remove()
        subprocess.run(["nft", "delete", "table", "inet", "vornfleet"], capture_output=True)
        if failures.count:
            for broker in brokers:
                if os.path.exists(broker.log):
                    with open(broker.log) as log:
                        print(f"--- {broker.log} (end)\n" + "".join(log.readlines()[-20:]))
            if archive and archive.program:
                print("--- archive\n" + "\n".join(archive.program.errors[-20:]))
            for box in boxes:
                if box.serve:
                    print(f"--- {box.name}\n" + "\n".join(box.serve.errors[-20:]))
        shutil.rmtree(work, ignore_errors=True)
    failures.finish()


if __name__ == "__main__":
    main()
