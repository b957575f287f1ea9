"""Helpers shared by the end-to-end support modules and suites."""

import os
import pwd
import select
import signal
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def unlisted_uid(first, lookup=None, tries=1000):
    """The first user id from first on that has no password entry: the Updater run under it finds
    no home directory of a real user and takes HOME. Raises RuntimeError when none is free."""
    lookup = lookup or pwd.getpwuid
    for uid in range(first, first + tries):
        try:
            lookup(uid)
        except KeyError:
            return uid
    raise RuntimeError("no user id without a password entry in %d..%d" % (first, first + tries - 1))


def stop_by_pid(proc, timeout):
    """SIGTERM by pid, wait; SIGKILL by pid when it will not go. Returns the exit status."""
    if proc.poll() is None:
        os.kill(proc.pid, signal.SIGTERM)
        try:
            proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait(timeout=timeout)
    return proc.returncode


def unix_request(path, line, timeout):
    """Sends one line to the Unix control socket at path; returns the answer up to its newline,
    or what came before the simulator closed the connection."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        sock.settimeout(timeout)
        sock.connect(path)
        sock.sendall(line.encode() + b"\n")
        answer = b""
        while not answer.endswith(b"\n"):
            chunk = sock.recv(1 << 20)
            if not chunk:
                break
            answer += chunk
    return answer


def driver_path(name):
    """The built test driver called name (DRIVER_DIR, else BUILD_DIR or build/ of the tree)."""
    directory = os.environ.get("DRIVER_DIR")
    if not directory:
        build = os.environ.get("BUILD_DIR") or os.path.join(HERE, "..", "..", "build")
        directory = os.path.join(build, "tests", "drivers")
    return os.path.join(directory, name)


def closed_port_url():
    """An update server URL on 127.0.0.1 where nothing listens."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return "http://127.0.0.1:%d/cgi/u" % port


def assert_inner_run_passed(testcase, result):
    """Checks a `python3 -m unittest -v` run made in a namespace of its own: it passed, ran
    tests and skipped none. Its output goes to standard error."""
    sys.stderr.write(result.stdout + result.stderr)
    testcase.assertEqual(result.returncode, 0, "tests inside the namespace failed")
    summary = result.stderr.split("\nRan ")[-1]
    testcase.assertRegex(summary, r"^[1-9][0-9]* tests? in ")
    testcase.assertNotIn("skipped", summary)


def read_driver_line(proc, buffer, deadline, what, exit_wait):
    """Reads one line of a driver's standard output into (line, rest) without waiting past
    deadline (a time.monotonic() value); buffer holds what was read before. A driver that gives
    no line in time, or ends, fails the test with what it was asked and its standard error."""
    while b"\n" not in buffer:
        left = deadline - time.monotonic()
        readable, _, _ = select.select([proc.stdout], [], [], max(0.0, left))
        if not readable:
            raise AssertionError("driver gave no answer to %r within the time-out" % (what,))
        chunk = os.read(proc.stdout.fileno(), 65536)
        if not chunk:
            proc.wait(timeout=exit_wait)
            raise AssertionError("driver ended (%s) on %r: %s" % (
                proc.returncode, what, proc.stderr.read().decode(errors="replace")))
        buffer += chunk
    line, rest = buffer.split(b"\n", 1)
    return line, rest


class DatagramSender:
    """While the with-block runs, a thread sends the datagrams (all of them, then a pause) from
    source to destination (address, port), for at most limit seconds. After the block, `sent`
    counts the rounds sent and `ran_out` tells whether the limit ended them."""

    def __init__(self, source, destination, datagrams, pause, limit=60):
        self.source, self.destination = source, destination
        self.datagrams, self.pause, self.limit = list(datagrams), pause, limit
        self.sent = 0
        self.ran_out = False
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run)

    def _run(self):
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            if self.source:
                sock.bind((self.source, 0))
            deadline = time.monotonic() + self.limit
            while not self._stop.is_set():
                if time.monotonic() >= deadline:
                    self.ran_out = True
                    break
                for datagram in self.datagrams:
                    sock.sendto(datagram, self.destination)
                self.sent += 1
                self._stop.wait(self.pause)
        finally:
            sock.close()

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join(timeout=5)
        return False
