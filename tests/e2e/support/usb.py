"""Shared by the end-to-end tests over emulated USB (test_usb_*.py).

`UsbBus` starts sim/usb_modules.py under umockdev-wrapper (so that it can send uevents),
reads its ready line, talks to its control socket and stops it by pid; the test bed
directory it made is gone afterwards (checked).  Programs see the bus through
`bus.env()`: the umockdev preload library, after libasan in the sanitizer build
(UPDATER_SANITIZE=address), and UMOCKDEV_DIR.
"""

import json
import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

from support.common import (PYTHON, SIM_DIR, InteractiveDriver, as_user, driver_path,  # noqa: F401
                        stop_by_pid, unix_request)
import usb_env  # noqa: E402

WRAPPER = shutil.which("umockdev-wrapper")
SANITIZE = os.environ.get("UPDATER_SANITIZE", "")

# aErr values the tests name.
ERR = {"None": 0, "Param": 2, "NotFound": 3, "Busy": 5, "IO": 6, "Mode": 7, "Write": 8,
       "NotReady": 11, "Configuration": 17, "Timeout": 18, "Connection": 25}


# The answer of the first probe, passed on to the processes this one starts (run_suite.py starts
# one for each test of a suite): a probe costs a Python start with GObject's bindings.
HAVE_UMOCKDEV_VARIABLE = "UPDATER_E2E_HAVE_UMOCKDEV"


def have_umockdev():
    known = os.environ.get(HAVE_UMOCKDEV_VARIABLE)
    if known in ("0", "1"):
        return known == "1"
    found = False
    if WRAPPER is not None and os.path.exists(PYTHON):
        probe = subprocess.run([PYTHON, "-c", "import gi; gi.require_version('UMockdev', '1.0'); "
                                              "from gi.repository import UMockdev"],
                               capture_output=True, timeout=30)
        found = probe.returncode == 0
    os.environ[HAVE_UMOCKDEV_VARIABLE] = "1" if found else "0"
    return found


HAVE_UMOCKDEV = have_umockdev()
needs_umockdev = unittest.skipUnless(HAVE_UMOCKDEV, "needs umockdev, its typelib and python3-gi")


def module_arg(**keys):
    return "--module", ",".join("%s=%s" % (k, v) for k, v in keys.items())


class UsbBus:
    """sim/usb_modules.py as a child process."""

    def __init__(self, testcase, *args, timeout=20.0, run_as=None):
        """run_as: a user id to run the simulator as, so that programs running as that user
        can open the test bed (umockdev makes it readable by its owner only)."""
        self.tmp = tempfile.TemporaryDirectory(prefix="usbbus-")
        self.control_path = os.path.join(self.tmp.name, "control")
        self.stderr_path = os.path.join(self.tmp.name, "sim.stderr")
        self.stderr = open(self.stderr_path, "wb")
        command = [WRAPPER, PYTHON, os.path.join(SIM_DIR, "usb_modules.py"),
                   "--control", self.control_path] + list(args)
        env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "UMOCKDEV_DIR")}
        self.run_as = run_as
        if run_as is not None:
            os.chown(self.tmp.name, run_as, run_as)
            env["HOME"] = self.tmp.name
            command = as_user(run_as, command)
        self.proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=self.stderr, env=env)
        testcase.addCleanup(self.stop)
        self.ready = self._read_ready(timeout)
        self.root = self.ready["umockdev_dir"]
        self._env = None

    def _read_ready(self, timeout):
        deadline = time.monotonic() + timeout
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            readable, _, _ = select.select([self.proc.stdout], [], [], max(0.0, left))
            if not readable:
                errors = self.errors()
                self.stop()
                raise AssertionError("USB simulator not ready within %.0f s: %s" % (timeout, errors))
            chunk = os.read(self.proc.stdout.fileno(), 4096)
            if not chunk:
                self.proc.wait(timeout=10)
                raise AssertionError("USB simulator ended: %s" % self.errors())
            line += chunk
        return json.loads(line)

    def errors(self):
        if not self.stderr.closed:
            self.stderr.flush()
        with open(self.stderr_path, "rb") as f:
            return f.read().decode(errors="replace")

    def env(self, extra=None):
        if self._env is None:
            self._env = usb_env.program_env(self.root, sanitize=SANITIZE)
        env = dict(self._env)
        env.update(extra or {})
        return env

    def updater_env(self, long_wait_ms=None):
        """The variables the Updater needs to see the bus (for it alone: common.run_updater's
        env). long_wait_ms: the test hook's cut of the program's waits of many seconds."""
        env = {name: self.env()[name] for name in ("LD_PRELOAD", "UMOCKDEV_DIR")}
        if long_wait_ms is not None:
            env["UPDATER_TEST_HOOK_LONG_WAIT_MS"] = "%d" % long_wait_ms
        return env

    def __call__(self, line, timeout=10.0):
        """One control request; returns its result, raises on an error answer."""
        try:
            answer = unix_request(self.control_path, line, timeout)
        except OSError as exc:
            raise AssertionError("%s: %s; simulator: %s" % (line, exc, self.errors()))
        if not answer.endswith(b"\n"):
            raise AssertionError("%s: no answer; simulator: %s" % (line, self.errors()))
        reply = json.loads(answer)
        if not reply["ok"]:
            raise AssertionError("%s: %s" % (line, reply["error"]))
        return reply["result"]

    def state(self, serial):
        return self("state %s" % serial)

    def wait_for(self, predicate, timeout=10.0, what="condition"):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = predicate()
            if value:
                return value
            time.sleep(0.05)
        raise AssertionError("%s not reached within %.0f s" % (what, timeout))

    def wrap(self, command):
        """The command run as the simulator's user: a client of another user would leave
        files in the test bed that the simulator can neither use nor remove."""
        if self.run_as is None:
            return list(command)
        return as_user(self.run_as, command)

    def run(self, command, timeout=60.0, env=None):
        """Runs a program on the bus; returns the CompletedProcess (text)."""
        return run_bounded(self.wrap(command), self.env(env), timeout)

    def stop(self, timeout=15.0):
        """SIGTERM, wait, SIGKILL by pid if needed; checks the test bed directory went away."""
        stop_by_pid(self.proc, timeout)
        if self.proc.stdout:
            self.proc.stdout.close()
        self.stderr.close()
        root = getattr(self, "root", None)
        left = root is not None and os.path.isdir(root)
        if left:  # a simulator that died leaves its test bed; it is ours to remove
            shutil.rmtree(root, ignore_errors=True)
        self.tmp.cleanup()
        if left:
            raise AssertionError("the USB simulator left its test bed %s behind" % root)
        return self.proc.returncode


def run_bounded(command, env, timeout):
    """Runs a command with a time limit; on expiry kills it by pid and fails."""
    proc = subprocess.Popen(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            stdin=subprocess.DEVNULL)
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.kill(proc.pid, signal.SIGKILL)
        out, err = proc.communicate(timeout=30)
        raise AssertionError("%s did not end within %.0f s: %s %s" % (
            command, timeout, out.decode(errors="replace"), err.decode(errors="replace")))
    return subprocess.CompletedProcess(command, proc.returncode, out.decode(errors="replace"),
                                       err.decode(errors="replace"))


class Driver(InteractiveDriver):
    """An interactive driver program on the bus: one command per line in, one JSON line out;
    other lines (what the runtime printed) are kept in `printed`."""

    def __init__(self, testcase, bus, name, extra_env=None):
        super().__init__(testcase, bus.wrap([driver_path(name)]), env=bus.env(extra_env),
                         keep_printed=True, exit_wait=10)
