"""Helpers of the tests that run vornsim, vornctl and tshark as programs: lines
read with deadlines, the namespace check, skipping with a reason."""

import atexit
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77  # CTest's SKIP_RETURN_CODE for these tests


def skip(reason):
    """Ends a test that cannot run here: a skip with the reason, or in CI (the
    variable CI set), where every test has to run, a failure."""
    if os.environ.get("CI"):
        print(f"FAILED: cannot run: {reason}", flush=True)
        sys.exit(1)
    print(f"SKIPPED: {reason}", flush=True)
    sys.exit(SKIP)


def arguments(usage, count):
    """The command line's `count` arguments; the usage and status 2 otherwise."""
    if len(sys.argv) != count + 1:
        print(usage, file=sys.stderr)
        sys.exit(2)
    return sys.argv[1:]


def require_test_namespace(netns_script):
    """Skips unless this process runs in a private network namespace of the
    test run (scripts/netns.sh --check): vornsim binds the wildcard address."""
    check = subprocess.run([netns_script, "--check"], capture_output=True, text=True)
    if check.returncode != 0:
        skip("not in a private network namespace: " + check.stderr.strip())


class Failures:
    """Collects failed checks; the test ends with status 1 if there are any."""

    def __init__(self):
        self.count = 0

    def check(self, condition, message):
        if not condition:
            self.count += 1
            print(f"FAILED: {message}", flush=True)
        return condition

    def equal(self, actual, expected, what):
        return self.check(actual == expected, f"{what}: {actual!r} != expected {expected!r}")

    def finish(self):
        if self.count:
            print(f"{self.count} check(s) failed", flush=True)
            sys.exit(1)
        print("all checks passed", flush=True)
        sys.exit(0)


class Program:
    """A program with its stdout and stderr read line by line on threads, so
    that a line can be awaited with a deadline."""

    def __init__(self, argv, stdin=subprocess.DEVNULL, env=None):
        self.argv = argv
        self.process = subprocess.Popen(
            argv, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
            bufsize=1, env=env)
        self.lines = queue.Queue()
        self.seen = []  # every stdout line taken so far
        self.errors = []  # every stderr line
        self._readers = [
            threading.Thread(target=self._read, args=(self.process.stdout, self.lines.put, True)),
            threading.Thread(target=self._read,
                             args=(self.process.stderr, self.errors.append, False)),
        ]
        for reader in self._readers:
            reader.start()

    @staticmethod
    def _read(stream, sink, mark_end):
        for line in stream:
            sink(line.rstrip("\n"))
        if mark_end:
            sink(None)

    def next_line(self, timeout):
        """The next stdout line, or None at the deadline or the end of output."""
        try:
            line = self.lines.get(timeout=max(timeout, 0))
        except queue.Empty:
            return None
        if line is not None:
            self.seen.append(line)
        return line

    def wait_for(self, predicate, timeout):
        """The first stdout line for which predicate holds, or None by the deadline."""
        deadline = time.monotonic() + timeout
        while True:
            line = self.next_line(deadline - time.monotonic())
            if line is None:
                return None
            if predicate(line):
                return line

    def wait_for_all(self, predicates, timeout):
        """Reads until every predicate holds for some line taken so far (in any
        order); True when they all did by the deadline."""
        deadline = time.monotonic() + timeout
        while not all(any(p(line) for line in self.seen) for p in predicates):
            if self.next_line(deadline - time.monotonic()) is None:
                return False
        return True

    def send(self, text):
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()

    def finish(self, timeout):
        """Waits for the end; kills the program if it outlives the deadline.
        Returns the exit status (None when it had to be killed)."""
        try:
            status = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            status = None
        for reader in self._readers:
            reader.join()
        return status


def simulator(vornsim, devices, extra=()):
    """vornsim with these --device specs, controlled on stdin; returns once it is ready."""
    argv = [vornsim, "--stdin-control", "--interval", "200"]
    for device in devices:
        argv += ["--device", device]
    argv += list(extra)
    sim = Program(argv, stdin=subprocess.PIPE)
    if sim.wait_for(lambda line: line.startswith("ready "), 20) is None:
        sim.process.kill()
        sim.finish(5)
        raise RuntimeError("vornsim did not start: " + " | ".join(sim.errors))
    return sim


def stop_simulator(sim):
    if sim.process.poll() is None:
        try:
            sim.send("quit")
        except (BrokenPipeError, OSError):
            pass
    return sim.finish(20)


_STATE_HOME = None


def state_home():
    """A folder of this test's own for vornctl's journal (XDG_STATE_HOME), so
    that tests never write to the user's; removed when the test ends."""
    global _STATE_HOME
    if _STATE_HOME is None:
        _STATE_HOME = tempfile.mkdtemp(prefix="vorn-test-state-")
        atexit.register(shutil.rmtree, _STATE_HOME, True)
    return _STATE_HOME


def environment():
    env = dict(os.environ)
    env.setdefault("LC_ALL", "C.UTF-8")
    env["XDG_STATE_HOME"] = state_home()
    return env
