"""sim/lpc_rom.py as a child process: the LPC boot ROM on a pseudo-terminal, with its control
socket. Started and waited for until it prints its ready line, queried, stopped by its pid."""

import json
import os
import select
import subprocess
import time
import tty

from support.common import (PYTHON, SIM_DIR, START_TIMEOUT, STOP_TIMEOUT, open_to_all,
                        read_ready_line, stop_by_pid, unix_request)

SIM = os.path.join(SIM_DIR, "lpc_rom.py")
STEP_TIMEOUT = 10


class LpcRom:
    """One simulator on a pty in workdir (port link ttyLPC, control socket lpc.ctl, its standard
    error in lpc_rom.stderr). for_all_users: the pty may be opened by any user."""

    def __init__(self, workdir, *args, for_all_users=False):
        self.workdir = str(workdir)
        self.link = os.path.join(self.workdir, "ttyLPC")
        self.control_path = os.path.join(self.workdir, "lpc.ctl")
        self.stderr_path = os.path.join(self.workdir, "lpc_rom.stderr")
        with open(self.stderr_path, "wb") as errors:
            self.proc = subprocess.Popen([PYTHON, SIM, "--link", self.link,
                                          "--control", self.control_path] + [str(a) for a in args],
                                         stdout=subprocess.PIPE, stderr=errors)
        line = read_ready_line(self.proc, START_TIMEOUT)
        if not line:
            self.stop()
            raise AssertionError("LPC simulator did not start: %s" % self.errors())
        self.ready = json.loads(line)
        if for_all_users:
            open_to_all(self.ready["pty"])

    def errors(self):
        with open(self.stderr_path, "rb") as errors:
            return errors.read().decode(errors="replace")

    def reply(self, *words):
        """The simulator's answer to one control request, as it stands."""
        return json.loads(unix_request(self.control_path, " ".join(str(w) for w in words), STEP_TIMEOUT))

    def control(self, *words):
        """One control request that must succeed; returns the answer."""
        answer = self.reply(*words)
        if not answer.get("ok"):
            raise AssertionError("LPC simulator refused %r: %r" % (words, answer))
        return answer

    def history(self):
        """The commands the chip received, in order, with what it did."""
        return self.control("history")["history"]

    def commands(self):
        """The command lines the chip received, in order."""
        return [entry["line"] for entry in self.history()]

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

    def flash(self):
        """The whole flash as the chip holds it now."""
        path = os.path.join(self.workdir, "flash-dump.bin")
        self.control("dump", path)
        with open(path, "rb") as dumped:
            return dumped.read()

    def stop(self):
        """SIGTERM by pid, SIGKILL when it will not go; returns its exit status."""
        status = stop_by_pid(self.proc, STOP_TIMEOUT)
        self.proc.stdout.close()
        return status
