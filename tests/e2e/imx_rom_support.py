"""sim/imx_rom.py as a child process, for the suites that drive it over its serial port."""

import json
import os
import select
import subprocess

from e2e_common import stop_by_pid, unix_request

SRC_DIR = os.environ.get("SRC_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", ".."))
SIM_DIR = os.environ.get("SIM_DIR") or os.path.join(SRC_DIR, "sim")
SIM = os.path.join(SIM_DIR, "imx_rom.py")
PYTHON = "/usr/bin/python3"
STEP_TIMEOUT = 5.0


class ImxRomProcess:
    """One simulator process: its port link, control socket and dump directory."""

    def __init__(self, workdir, *args):
        self.link = os.path.join(workdir, "ttyIMX")
        self.control_path = os.path.join(workdir, "control")
        self.dump_dir = os.path.join(workdir, "dump")
        self.proc = subprocess.Popen(
            [PYTHON, SIM, "--link", self.link, "--control", self.control_path,
             "--dump-dir", self.dump_dir] + list(args),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], STEP_TIMEOUT)
        line = self.proc.stdout.readline() if ready else ""
        if not line.startswith("imx_rom ready"):
            stop_by_pid(self.proc, STEP_TIMEOUT)
            errors = self.proc.stderr.read()
            self.stop()
            raise AssertionError("simulator did not start: %r %s" % (line, errors))

    def control(self, line):
        return unix_request(self.control_path, line, STEP_TIMEOUT).decode().strip()

    def state(self):
        answer = self.control("state")
        assert answer.startswith("ok "), answer
        return json.loads(answer[3:])

    def memory(self, address, count):
        answer = self.control("read 0x%X %d" % (address, count))
        assert answer.startswith("ok"), answer
        return bytes.fromhex(answer[3:])

    def stop(self):
        """SIGTERM by pid (the simulator dumps), SIGKILL if it hangs."""
        stop_by_pid(self.proc, STEP_TIMEOUT)
        self.proc.stdout.close()
        self.proc.stderr.close()
        return self.proc.returncode
