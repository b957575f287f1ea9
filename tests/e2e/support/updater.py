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
import sys
import tempfile
import unittest
from pathlib import Path

from support.common import (RUN_UID, UPDATER, DatagramSender, ModuleSim, UpdateServer,  # noqa: F401
                        can_make_namespaces, closed_port_url, give_to_run_user, read_settings,
                        run_tests_inside, run_updater, store_dir, write_settings)
import mkbird  # noqa: E402  (on the path through support.common)

MODULE_IP = os.environ.get("HALYARD_NETNS_MODULE_IP", "10.77.0.2")
INSIDE = os.environ.get("UPDATER_E2E_INSIDE") == "1" and os.environ.get("HALYARD_NETNS") == "1"

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
    own: one test per class, so that run_suite.py --jobs runs them side by side. (A namespace for
    each test would let more of them run at once, but the processes it starts for each test cost
    more of the machine than the suites gain.) Called at the end of the module, once its classes
    are defined: a class with a test marked starts_first starts first."""
    def runner(name, cls):
        def test(self):
            run_inside(self, module, name)
        test.starts_first = any(getattr(getattr(cls, method), "starts_first", False)
                                for method in unittest.defaultTestLoader.getTestCaseNames(cls))
        return test
    loaded = sys.modules[module]
    methods = {"test_%s_in_a_private_network_namespace" % name: runner(name, getattr(loaded, name))
               for name in classes}
    case = type("Outside", (unittest.TestCase,), dict(methods, __module__=module))
    case = unittest.skipUnless(can_run(), "needs root, unshare, ip, setpriv and UPDATER_BIN")(case)
    return unittest.skipIf(INSIDE, "runs in the machine's namespace")(case)


def inside_only(cls):
    return unittest.skipUnless(INSIDE, "runs inside the private network namespace")(cls)


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


def update_lines(build, firmware_length):
    """What -U prints for a Bird (one loader block of 300 bytes, one firmware block), from the
    build it takes to the firmware's total; without the update time that ends it."""
    return ["Updating firmware with build: %d" % build,
            "Transferring loader to device",
            "Transferring loader block 1 of 1, 304 bytes",
            "Transferred 1 blocks, 304 total bytes",
            "Starting Load on Device",
            "Transferring firmware block 1 of 1, %d bytes" % firmware_length,
            "Transferred 1 blocks, %d total bytes" % firmware_length]


# ---- processes ------------------------------------------------------------------------------------

def routed_module_args(router, serial):
    """A router with two modules behind it: another one at address 6 and `serial` at address 90,
    running build 1000 and restarting in 300 ms."""
    return ("--module", "serial=%s,model=13,address=254" % router,
            "--behind", "router=%s,serial=11111111,model=19,address=6" % router,
            "--behind", "router=%s,serial=%s,model=19,address=90,version=2.1.5,build=1000,"
                        "reboot_ms=300,load_restart_ms=300" % (router, serial))


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
        self.store = store_dir(self.home)

    def device(self, serial):
        return self.store / serial

    def put_build(self, serial, build, **settings):
        """Puts BUILD.bird into the device's store directory, with settings lines."""
        bird = Bird(self.device(serial) / ("%d.bird" % build), build, serial=int(serial, 16))
        if settings:
            write_settings(self.device(serial), dict(sorted(settings.items())))
        self.give_store_to_runner()
        return bird

    def give_store_to_runner(self):
        give_to_run_user(self.home)

    def settings(self, serial):
        return read_settings(self.device(serial))

    def run(self, *args, **options):
        """Runs the Updater as the run-as user in the working directory (common.run_updater
        gives the options: timeout, terminal, env, enter)."""
        return run_updater(args, self.home, cwd=self.cwd, **options)
