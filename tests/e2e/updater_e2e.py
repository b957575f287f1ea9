"""Shared by the end-to-end tests of -D and -U (test_updater_discovery.py, test_updater_update.py).

The built Updater finds simulated modules by UDP multicast, so these tests run only inside a
private network namespace: run normally, a test file's outer class starts the same file again
under sim/netns_run.sh (simulated modules on the far end of a veth pair, update server on
127.0.0.1) and checks that the tests inside passed.

The Updater runs as a user id without a password entry and with HOME set to a temporary
directory, so its store (HOME/.tessaron/updater) never touches a real home directory.
"""

import os
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest
from pathlib import Path

from e2e_common import (DatagramSender, ModuleSim, UpdateServer, as_user,  # noqa: F401
                        can_make_namespaces, closed_port_url, run_tests_inside, unlisted_uid)
import mkbird  # noqa: E402  (on the path through e2e_common)

UPDATER = os.environ.get("UPDATER_BIN", "")
MODULE_IP = os.environ.get("HALYARD_NETNS_MODULE_IP", "10.77.0.2")
INSIDE = os.environ.get("UPDATER_E2E_INSIDE") == "1" and os.environ.get("HALYARD_NETNS") == "1"
RUN_UID = unlisted_uid(54322)
RUN_TIMEOUT = 120

LOADER_ADDRESS = 0x10000000
FIRMWARE_ADDRESS = 0x00000000
CTIME_RE = re.compile(r"^(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                      r"[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}$")


# Rounds of the tests that run two Updaters at the same time: twenty in the normal build, five in
# the sanitizer build, which runs the same code paths and would otherwise double the wait.
CONCURRENCY_ROUNDS = 5 if os.environ.get("UPDATER_SANITIZE") else 20


def can_run():
    return (can_make_namespaces() and shutil.which("setpriv") and UPDATER
            and os.access(UPDATER, os.X_OK))


def run_inside(testcase, module, selector, timeout=900):
    """Runs `python3 -m unittest -v module.selector` under sim/netns_run.sh and asserts that
    it ran tests and that all passed."""
    run_tests_inside(testcase, module, selector, "veth", env={"UPDATER_E2E_INSIDE": "1"},
                     timeout=timeout)


def namespace_suite(module, *classes):
    """The test case that runs each named class of `module` in a private network namespace of its
    own: one test per class, so that run_suite.py --jobs runs them side by side."""
    def runner(selector):
        def test(self):
            run_inside(self, module, selector)
        return test
    methods = {"test_%s_in_a_private_network_namespace" % name: runner(name) for name in classes}
    case = type("Outside", (unittest.TestCase,), dict(methods, __module__=module))
    case = unittest.skipUnless(can_run(), "needs root, unshare, ip, setpriv and UPDATER_BIN")(case)
    return unittest.skipIf(INSIDE, "runs in the machine's namespace")(case)


def inside_only(cls):
    return unittest.skipUnless(INSIDE, "runs inside the private network namespace")(cls)


class Result:
    def __init__(self, status, stdout, stderr, seconds):
        self.status, self.stdout, self.stderr, self.seconds = status, stdout, stderr, seconds
        self.out_lines = stdout.splitlines()
        self.err_lines = stderr.splitlines()

    def __repr__(self):
        return "exit %s\n--- stdout\n%s--- stderr\n%s" % (self.status, self.stdout, self.stderr)


# ---- firmware images and bird files ---------------------------------------------------------------

def firmware_image(build, version, size=2000, seed=1):
    """Image bytes the simulator reads its new build and version from after REBOOT."""
    body = bytes(((i * 131 + seed * 17) >> 3 ^ i) & 0xFF for i in range(size))
    return body + ("FWINFO build=%d version=%s" % (build, version)).encode() + b"\0"


def loader_image(size=300, seed=1):
    return bytes((i * 7 + seed) & 0xFF for i in range(size))


class Bird:
    """A bird file written with mkbird and the blocks it carries."""

    def __init__(self, path, build, version="3.2.1", serial=0, model="Osprey", offsets=None,
                 firmware=None, loader=None):
        self.path = Path(path)
        self.build = build
        self.loader = loader if loader is not None else loader_image(seed=build)
        self.firmware = firmware if firmware is not None else firmware_image(build, version,
                                                                              seed=build)
        blocks = [mkbird.loader_block(LOADER_ADDRESS, self.loader),
                  mkbird.firmware_block(FIRMWARE_ADDRESS, self.firmware),
                  mkbird.info_block(build=build, version=version, serial=serial, model=model)]
        if offsets is not None:
            blocks.append(mkbird.serial_offsets_block(*offsets))
        self.path.parent.mkdir(parents=True, exist_ok=True)
        self.path.write_bytes(mkbird.make(blocks))
        os.chmod(self.path, 0o644)


# ---- processes ------------------------------------------------------------------------------------

class Simulator(ModuleSim):
    """module_sim.py answering discovery on the modules' end of the veth pair, its packet log
    and dump in work; stopped by pid."""

    def __init__(self, testcase, work, *args):
        super().__init__(testcase.addCleanup, *args, iface=MODULE_IP, workdir=work)


class Workspace:
    """A temporary directory with the Updater's HOME, its store and a working directory."""

    def __init__(self, testcase):
        self.root = Path(tempfile.mkdtemp(prefix="updater_e2e."))
        testcase.addCleanup(shutil.rmtree, self.root, ignore_errors=True)
        os.chmod(self.root, 0o755)
        self.home = self.root / "home"
        self.cwd = self.root / "cwd"
        for directory in (self.home, self.cwd):
            directory.mkdir()
            os.chown(directory, RUN_UID, RUN_UID)
        self.store = self.home / ".tessaron" / "updater"

    def device(self, serial):
        return self.store / serial

    def put_build(self, serial, build, **settings):
        """Puts BUILD.bird into the device's store directory, with settings lines."""
        bird = Bird(self.device(serial) / ("%d.bird" % build), build, serial=int(serial, 16))
        if settings:
            lines = "".join("%s=%s\n" % item for item in sorted(settings.items()))
            (self.device(serial) / ".settings").write_text(lines)
        self.give_store_to_runner()
        return bird

    def give_store_to_runner(self):
        for path in [self.home] + list(self.home.rglob("*")):
            os.chown(path, RUN_UID, RUN_UID)

    def settings(self, serial):
        path = self.device(serial) / ".settings"
        if not path.exists():
            return {}
        pairs = (line.split("=", 1) for line in path.read_text().splitlines() if "=" in line)
        return {key: value for key, value in pairs}

    def run(self, *args, timeout=RUN_TIMEOUT, terminal=False):
        """Runs the Updater as the user without a password entry; stdout on a pseudo-terminal
        when terminal is set."""
        command = as_user(RUN_UID, [UPDATER, *args])
        env = {"HOME": str(self.home), "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        start = time.monotonic()
        if not terminal:
            done = subprocess.run(command, cwd=str(self.cwd), env=env, capture_output=True,
                                  timeout=timeout)
            return Result(done.returncode, done.stdout.decode(errors="replace"),
                          done.stderr.decode(errors="replace"), time.monotonic() - start)
        master, slave = os.openpty()
        proc = subprocess.Popen(command, cwd=str(self.cwd), env=env, stdin=subprocess.DEVNULL,
                                stdout=slave, stderr=subprocess.PIPE)
        os.close(slave)
        chunks = []

        def read_terminal():
            while True:
                try:
                    chunk = os.read(master, 4096)
                except OSError:
                    return          # EIO once the child has closed its side
                if not chunk:
                    return
                chunks.append(chunk)

        reader = threading.Thread(target=read_terminal)
        reader.start()
        try:
            _, err = proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, signal.SIGKILL)
            proc.wait(timeout=10)
            raise
        finally:
            reader.join(timeout=10)
            os.close(master)
        text = b"".join(chunks).decode(errors="replace").replace("\r\n", "\n")
        return Result(proc.returncode, text, err.decode(errors="replace"),
                      time.monotonic() - start)
