"""Shared by the end-to-end tests of discovery and the object layer (test_objects_*.py).

Those tests discover modules by UDP multicast, so they run only inside a private network
namespace: run normally, a test file's outer class starts the same file again under
sim/netns_run.sh (veth pair, simulator on the modules' end) or under a namespace holding
nothing but loopback, and checks that the tests inside passed.  The C++ side is a test
driver program from DRIVER_DIR that prints one JSON line per operation.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SIM_DIR = os.environ.get("SIM_DIR") or os.path.join(HERE, "..", "..", "sim")
sys.path.insert(0, SIM_DIR)

import halyard_host as host  # noqa: E402
from e2e_common import assert_inner_run_passed, driver_path, read_driver_line  # noqa: E402

PYTHON = "/usr/bin/python3"
HARNESS = os.path.join(SIM_DIR, "netns_run.sh")
HOST_IP = os.environ.get("HALYARD_NETNS_HOST_IP", "10.77.0.1")
MODULE_IP = os.environ.get("HALYARD_NETNS_MODULE_IP", "10.77.0.2")

# Where a test runs: "veth" under sim/netns_run.sh, "loopback" in a namespace with only lo,
# "outside" in the machine's own namespace.
WHERE = os.environ.get("HALYARD_OBJECTS_WHERE", "outside")
if WHERE == "veth" and os.environ.get("HALYARD_NETNS") != "1":
    WHERE = "outside"

LOOPBACK_SETUP = (
    'set -e; ip link set lo up; ip link set lo multicast on; '
    'HALYARD_NETNS_INODE=$(stat -L -c %i /proc/self/ns/net); export HALYARD_NETNS_INODE; '
    'exec "$@"')

# aErr values the tests name.
ERR = {"None": 0, "Param": 2, "NotFound": 3, "Busy": 5, "NotReady": 11, "Configuration": 17,
       "Timeout": 18, "Initialization": 19, "Packet": 24, "Connection": 25,
       "IndexRange": 26, "InvalidOption": 29, "Resource": 30}


def can_make_namespaces():
    return os.geteuid() == 0 and shutil.which("unshare") and shutil.which("ip")


def run_inside(testcase, module, selector, where, timeout=600):
    """Runs `python3 -m unittest -v module.selector` inside a fresh namespace and asserts
    that it ran tests and all passed."""
    env = dict(os.environ, SIM_DIR=SIM_DIR, HALYARD_OBJECTS_WHERE=where)
    command = [PYTHON, "-m", "unittest", "-v", "%s.%s" % (module, selector)]
    if where == "veth":
        command = [HARNESS] + command
    else:
        command = ["unshare", "--net", "--", "/bin/sh", "-c", LOOPBACK_SETUP, "setup"] + command
    result = subprocess.run(command, cwd=HERE, env=env, capture_output=True, text=True,
                            timeout=timeout)
    assert_inner_run_passed(testcase, result)


def run_driver(args, timeout=30):
    """Runs a one-shot driver command; returns its JSON line as a dict."""
    result = subprocess.run(args, capture_output=True, text=True, timeout=timeout)
    if result.returncode != 0:
        raise AssertionError("%s ended with %d: %s" % (args, result.returncode, result.stderr))
    lines = [line for line in result.stdout.splitlines() if line.startswith("{")]
    if len(lines) != 1:
        raise AssertionError("expected one JSON line from %s, got %r" % (args, result.stdout))
    return json.loads(lines[0])


class Driver:
    """The interactive objects driver: one command per line in, one JSON line out."""

    def __init__(self, testcase, extra_env=None):
        env = dict(os.environ)
        env.update(extra_env or {})
        self.proc = subprocess.Popen([driver_path("objects_driver")], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.buffer = b""
        testcase.addCleanup(self.stop)

    def __call__(self, line, timeout=20.0):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()
        return self._read_line(timeout, line)

    def _read_line(self, timeout, what):
        line, self.buffer = read_driver_line(self.proc, self.buffer, time.monotonic() + timeout, what, 5)
        return json.loads(line)

    def stop(self, timeout=10.0):
        """Ends the driver (quit, then SIGKILL by pid); returns its exit status."""
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
            except OSError:
                pass
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait(timeout=timeout)
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            try:
                stream.close()
            except OSError:
                pass
        return self.proc.returncode


def start_sim(testcase, *args):
    """A simulator answering discovery on the modules' end of the veth pair; stopped by pid."""
    import tempfile
    tmp = tempfile.TemporaryDirectory()
    testcase.addCleanup(tmp.cleanup)
    log = os.path.join(tmp.name, "packets.log")
    sim = host.SimProcess(["--iface", MODULE_IP, "--packet-log", log] + list(args))
    testcase.addCleanup(sim.stop)
    return sim, log


def packets(log, who, kind):
    """The hex payloads of the packet log rows of one module and kind, in order."""
    return [rest for _, name, row_kind, rest in host.read_log(log)
            if name == who and row_kind == kind]


def skip_unless(where):
    return unittest.skipUnless(WHERE == where, "runs in the %s namespace" % where)
