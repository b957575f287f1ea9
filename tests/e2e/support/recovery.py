"""Shared by the end-to-end tests of serial recovery (test_recovery_lpc.py, test_recovery_imx.py).

The built Updater runs as a user id without a password entry, with HOME set to a temporary
directory (its store is HOME/.tessaron/updater), against simulators on pseudo-terminals and the
simulated update server on 127.0.0.1. Every process started here has a time limit and is stopped
by its process id.
"""

import json
import os
import pty
import re
import select
import shutil
import tempfile
import time
import tty
import unittest
from pathlib import Path

from support import lpc_rom
from support.common import (RUN_UID, UPDATER, UpdateServer, closed_port_url,  # noqa: F401
                        open_to_all, read_settings, run_updater, store_dir)
import mkbird  # noqa: E402,F401  (on the path through support.common; the suites use it from here)

RUN_TIMEOUT = 180

LIVE_LOADER_SERIAL = "DEADDEAD"
UPDATE_TIME_RE = re.compile(r"^Update time: [0-9]+\.[0-9]{4} sec$")


def can_run():
    return (os.geteuid() == 0 and shutil.which("setpriv") is not None and bool(UPDATER)
            and os.access(UPDATER, os.X_OK))


needs_updater = unittest.skipUnless(can_run(), "needs root, setpriv and UPDATER_BIN")


def fingerprint_key(words):
    return " ".join("%08X" % w for w in words)


class LpcRom(lpc_rom.LpcRom):
    """sim/lpc_rom.py on a pty, open to the Updater's user. The recovery closes the port after
    identifying the chip and opens it again for the flash session. on_close: what a close does to
    the chip: "reset" (the default) as on a board whose DTR drives the chip's reset, the chip back
    in its boot ROM unsynchronised at the next open; "keep" as on a cable that leaves the reset
    alone, the chip in the state the last host left. Its flash takes the datasheet's erase and
    program times (--timing datasheet)."""

    def __init__(self, workdir, serial, *args, on_close="reset"):
        super().__init__(workdir, "--on-close", on_close, "--timing", "datasheet",
                         "--serial", *("%d" % w for w in serial), *args, for_all_users=True)


class ServerData:
    """The server's files: builds per device and the recovery table."""

    def __init__(self, root):
        self.root = Path(root)
        self.root.mkdir(parents=True, exist_ok=True)
        self.table = {}

    def add_build(self, serial, build, data):
        directory = self.root / serial
        directory.mkdir(parents=True, exist_ok=True)
        (directory / ("%d.bird" % build)).write_bytes(data)

    def add_fingerprint(self, words, serial, build, encode=True):
        self.table[fingerprint_key(words)] = {"serial": serial, "build": build, "encode": encode}
        (self.root / "fingerprints.json").write_text(json.dumps(self.table))


class BarePty:
    """A pty whose far end is nobody: it hears everything and answers nothing."""

    def __init__(self, workdir, name="ttySILENT"):
        self.master, slave = pty.openpty()
        tty.setraw(self.master)
        self.path = os.path.join(workdir, name)
        os.symlink(os.ttyname(slave), self.path)
        open_to_all(self.path)
        os.close(slave)
        self.heard = b""

    def drain(self):
        while True:
            ready, _, _ = select.select([self.master], [], [], 0)
            if not ready:
                return
            try:
                data = os.read(self.master, 65536)
            except OSError:
                return
            if not data:
                return
            self.heard += data

    def close(self):
        os.close(self.master)


class RecoveryCase(unittest.TestCase):
    """A temporary home for the Updater, a server data root and a way to run the Updater."""

    def setUp(self):
        self.work = Path(tempfile.mkdtemp(prefix="test_recovery."))
        self.addCleanup(shutil.rmtree, self.work, ignore_errors=True)
        os.chmod(self.work, 0o755)
        self.home = self.work / "home"
        self.home.mkdir()
        os.chown(self.home, RUN_UID, RUN_UID)
        self.files = self.work / "files"
        self.files.mkdir()
        self.data = ServerData(self.work / "server")

    def start_server(self):
        return UpdateServer(self, self.data.root, log=self.data.root / "queries.log")

    def write_file(self, name, data):
        path = self.files / name
        path.write_bytes(data)
        os.chmod(path, 0o644)
        return str(path)

    def store(self, serial):
        return store_dir(self.home) / serial

    def settings(self, serial):
        return read_settings(self.store(serial))

    def run_updater(self, *args, env=None, timeout=RUN_TIMEOUT, while_running=None, signal_when=None):
        """Runs the Updater as RUN_UID (env: variables for it alone); while_running() is called
        about every 20 ms until it ends. signal_when = (predicate, signal number): the signal is
        sent once predicate() holds; the result's signal_to_end is the time from then to the end
        of the process (None when it was never sent)."""
        signalled_at = []

        def watch(proc):
            if while_running is not None:
                while_running()
            if signal_when is not None and not signalled_at and proc.poll() is None and signal_when[0]():
                os.kill(proc.pid, signal_when[1])
                signalled_at.append(time.monotonic())

        start = time.monotonic()
        result = run_updater(args, self.home, env=env, timeout=timeout, while_running=watch)
        result.signal_to_end = start + result.seconds - signalled_at[0] if signalled_at else None
        return result

    def assert_update_time_last(self, result):
        self.assertTrue(result.out_lines and UPDATE_TIME_RE.match(result.out_lines[-1]), result)

    def assert_no_update_time(self, result):
        self.assertFalse(any(UPDATE_TIME_RE.match(line) for line in result.out_lines), result)
