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
import signal
import subprocess
import sys
import tempfile
import time
import tty
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
SIM_DIR = Path(os.environ.get("SIM_DIR") or HERE.parents[1] / "sim")
sys.dont_write_bytecode = True
sys.path.insert(0, str(SIM_DIR))

import mkbird  # noqa: E402
from e2e_common import closed_port_url, stop_by_pid, unix_request, unlisted_uid  # noqa: E402,F401

PYTHON = "/usr/bin/python3"
UPDATER = os.environ.get("UPDATER_BIN", "")
RUN_UID = unlisted_uid(54323)
START_TIMEOUT = 20
STOP_TIMEOUT = 15
STEP_TIMEOUT = 10
RUN_TIMEOUT = 180

LIVE_LOADER_SERIAL = "DEADDEAD"
UPDATE_TIME_RE = re.compile(r"^Update time: [0-9]+\.[0-9]{4} sec$")


def can_run():
    return (os.geteuid() == 0 and shutil.which("setpriv") is not None and bool(UPDATER)
            and os.access(UPDATER, os.X_OK))


needs_updater = unittest.skipUnless(can_run(), "needs root, setpriv and UPDATER_BIN")


def fingerprint_key(words):
    return " ".join("%08X" % w for w in words)


def open_to_all(path):
    """The Updater runs as another user: it must be able to open the port."""
    os.chmod(os.path.realpath(path), 0o666)


class Result:
    def __init__(self, status, stdout, stderr):
        self.status, self.stdout, self.stderr = status, stdout, stderr
        self.out_lines = stdout.splitlines()
        self.err_lines = stderr.splitlines()

    def __repr__(self):
        return "exit %s\n--- stdout\n%s--- stderr\n%s" % (self.status, self.stdout, self.stderr)


class Server:
    """sim/update_server.py on 127.0.0.1 with a query log."""

    def __init__(self, root):
        self.log = Path(root) / "queries.log"
        self.proc = subprocess.Popen([PYTHON, str(SIM_DIR / "update_server.py"), "--root", str(root),
                                      "--log", str(self.log), "--quiet"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready, _, _ = select.select([self.proc.stdout], [], [], START_TIMEOUT)
        self.url = self.proc.stdout.readline().decode().strip() if ready else ""
        if not self.url:
            self.stop()
            raise AssertionError("update server did not start")

    def queries(self):
        return self.log.read_text().splitlines() if self.log.exists() else []

    def stop(self):
        stop_by_pid(self.proc, STOP_TIMEOUT)
        self.proc.stdout.close()


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


class LpcRom:
    """sim/lpc_rom.py on a pty. The recovery closes the port after identifying the chip and opens
    it again without synchronising: the chip keeps its state over closes (--on-close keep), as a
    real one does. Its flash takes the datasheet's erase and program times (--timing datasheet)."""

    def __init__(self, workdir, serial, *args):
        self.link = os.path.join(workdir, "ttyLPC")
        self.control_path = os.path.join(workdir, "lpc.ctl")
        words = ["%d" % w for w in serial]
        self.proc = subprocess.Popen([PYTHON, str(SIM_DIR / "lpc_rom.py"), "--link", self.link,
                                      "--control", self.control_path, "--on-close", "keep",
                                      "--timing", "datasheet", "--serial", *words, *args],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready, _, _ = select.select([self.proc.stdout], [], [], START_TIMEOUT)
        if not ready:
            self.stop()
            raise AssertionError("LPC simulator did not start")
        self.ready = json.loads(self.proc.stdout.readline())
        open_to_all(self.ready["pty"])

    def control(self, *words):
        answer = unix_request(self.control_path, " ".join(str(w) for w in words), STEP_TIMEOUT)
        reply = json.loads(answer)
        if not reply.get("ok"):
            raise AssertionError("LPC simulator refused %r: %r" % (words, reply))
        return reply

    def commands(self):
        """The command lines the chip received, in order."""
        return [entry["line"] for entry in self.control("history")["history"]]

    def wait_closed(self, closes):
        """Until the simulator has seen `closes` port closes."""
        deadline = time.monotonic() + STEP_TIMEOUT
        while time.monotonic() < deadline:
            status = self.control("status")
            if status["closes"] >= closes and not status["connected"]:
                return status
            time.sleep(0.02)
        raise AssertionError("the LPC simulator never saw the port close")

    def host_session(self, data, settle=0.3):
        """An earlier host: opens the port, sends data, reads for settle seconds, closes. Returns
        what the chip sent."""
        closes = self.control("status")["closes"]
        fd = os.open(self.link, os.O_RDWR | os.O_NOCTTY)
        heard = b""
        try:
            tty.setraw(fd)
            os.write(fd, data)
            deadline = time.monotonic() + settle
            while time.monotonic() < deadline:
                ready, _, _ = select.select([fd], [], [], max(deadline - time.monotonic(), 0))
                if ready:
                    heard += os.read(fd, 4096)
        finally:
            os.close(fd)
        self.wait_closed(closes + 1)
        return heard

    def flash(self, workdir):
        path = os.path.join(workdir, "flash.bin")
        self.control("dump", path)
        with open(path, "rb") as handle:
            return handle.read()

    def stop(self):
        stop_by_pid(self.proc, STOP_TIMEOUT)
        self.proc.stdout.close()


class ImxRom:
    """sim/imx_rom.py: the i.MX boot ROM speaking SDP on a pty."""

    def __init__(self, workdir, *args):
        self.link = os.path.join(workdir, "ttyIMX")
        self.control_path = os.path.join(workdir, "imx.ctl")
        self.proc = subprocess.Popen([PYTHON, str(SIM_DIR / "imx_rom.py"), "--link", self.link,
                                      "--control", self.control_path, *args],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        ready, _, _ = select.select([self.proc.stdout], [], [], START_TIMEOUT)
        line = self.proc.stdout.readline().decode() if ready else ""
        if not line.startswith("imx_rom ready"):
            self.stop()
            raise AssertionError("i.MX simulator did not start")
        open_to_all(self.link)

    def control(self, line):
        text = unix_request(self.control_path, line, STEP_TIMEOUT).decode().strip()
        if not text.startswith("ok"):
            raise AssertionError("i.MX simulator refused %r: %r" % (line, text))
        return json.loads(text[3:]) if len(text) > 3 else None

    def state(self):
        return self.control("state")

    def stop(self):
        stop_by_pid(self.proc, STOP_TIMEOUT)
        self.proc.stdout.close()


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
        server = Server(self.data.root)
        self.addCleanup(server.stop)
        return server

    def write_file(self, name, data):
        path = self.files / name
        path.write_bytes(data)
        os.chmod(path, 0o644)
        return str(path)

    def store(self, serial):
        return self.home / ".tessaron" / "updater" / serial

    def settings(self, serial):
        path = self.store(serial) / ".settings"
        if not path.exists():
            return {}
        pairs = [line.split("=", 1) for line in path.read_text().splitlines() if "=" in line]
        return {key: value for key, value in pairs}

    def environment(self, extra=None):
        env = {"HOME": str(self.home), "PATH": "/usr/sbin:/usr/bin:/sbin:/bin"}
        for key in ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"):
            if key in os.environ:
                env[key] = os.environ[key]
        env.update(extra or {})
        return env

    def run_updater(self, *args, env=None, timeout=RUN_TIMEOUT, while_running=None, launcher=(), signal_when=None):
        """Runs the Updater as RUN_UID (through launcher, e.g. env with variables for it alone);
        while_running() is called about every 50 ms until it ends. signal_when = (predicate,
        signal number): the signal is sent once predicate() holds; the result's signal_to_end is
        the time from then to the end of the process (None when it was never sent)."""
        command = ["setpriv", "--reuid=%d" % RUN_UID, "--regid=%d" % RUN_UID, "--clear-groups",
                   *launcher, UPDATER, *args]
        out_path, err_path = self.work / "updater.out", self.work / "updater.err"
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            proc = subprocess.Popen(command, env=self.environment(env), cwd=str(self.home),
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            deadline = time.monotonic() + timeout
            signalled_at = None
            try:
                while proc.poll() is None:
                    if time.monotonic() > deadline:
                        raise AssertionError("Updater %s did not end within %d s" % (args, timeout))
                    if while_running is not None:
                        while_running()
                    if signal_when is not None and signalled_at is None and signal_when[0]():
                        os.kill(proc.pid, signal_when[1])
                        signalled_at = time.monotonic()
                    time.sleep(0.02 if signal_when is not None else 0.05)
            finally:
                if proc.poll() is None:
                    os.kill(proc.pid, signal.SIGKILL)
                    proc.wait(timeout=STOP_TIMEOUT)
            ended_at = time.monotonic()
        if while_running is not None:
            while_running()
        result = Result(proc.returncode, out_path.read_text(encoding="latin-1"),
                        err_path.read_text(encoding="latin-1"))
        result.signal_to_end = None if signalled_at is None else ended_at - signalled_at
        return result

    def assert_update_time_last(self, result):
        self.assertTrue(result.out_lines and UPDATE_TIME_RE.match(result.out_lines[-1]), result)

    def assert_no_update_time(self, result):
        self.assertFalse(any(UPDATE_TIME_RE.match(line) for line in result.out_lines), result)
