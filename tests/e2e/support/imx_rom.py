"""sim/imx_rom.py as a child process: the i.MX boot ROM speaking SDP on a pseudo-terminal, with
its control socket and dump directory. Started and waited for until it prints its ready line,
queried, stopped by its pid."""

import json
import os
import subprocess

from support.common import (PYTHON, SIM_DIR, START_TIMEOUT, STOP_TIMEOUT, open_to_all,
                        read_ready_line, stop_by_pid, unix_request)

SIM = os.path.join(SIM_DIR, "imx_rom.py")
STEP_TIMEOUT = 10


class ImxRomProcess:
    """One simulator in workdir: its port link ttyIMX, control socket, dump directory and its
    standard error (imx_rom.stderr). for_all_users: the pty may be opened by any user."""

    def __init__(self, workdir, *args, for_all_users=False):
        workdir = str(workdir)
        self.link = os.path.join(workdir, "ttyIMX")
        self.control_path = os.path.join(workdir, "control")
        self.dump_dir = os.path.join(workdir, "dump")
        self.stderr_path = os.path.join(workdir, "imx_rom.stderr")
        with open(self.stderr_path, "wb") as errors:
            self.proc = subprocess.Popen(
                [PYTHON, SIM, "--link", self.link, "--control", self.control_path,
                 "--dump-dir", self.dump_dir] + [str(a) for a in args],
                stdout=subprocess.PIPE, stderr=errors)
        line = read_ready_line(self.proc, START_TIMEOUT).decode(errors="replace")
        if not line.startswith("imx_rom ready"):
            self.stop()
            raise AssertionError("i.MX simulator did not start: %r %s" % (line, self.errors()))
        if for_all_users:
            open_to_all(self.link)

    def errors(self):
        with open(self.stderr_path, "rb") as errors:
            return errors.read().decode(errors="replace")

    def control(self, line):
        """The simulator's answer to one control request, as it stands ("ok ...", "error ...")."""
        return unix_request(self.control_path, line, STEP_TIMEOUT).decode().strip()

    def state(self):
        answer = self.control("state")
        if not answer.startswith("ok "):
            raise AssertionError("i.MX simulator gave no state: %r" % answer)
        return json.loads(answer[3:])

    def memory(self, address, count):
        answer = self.control("read 0x%X %d" % (address, count))
        if not answer.startswith("ok"):
            raise AssertionError("i.MX simulator could not read memory: %r" % answer)
        return bytes.fromhex(answer[3:])

    def stop(self):
        """SIGTERM by pid (the simulator dumps), SIGKILL if it hangs; returns its exit status."""
        status = stop_by_pid(self.proc, STOP_TIMEOUT)
        self.proc.stdout.close()
        return status
