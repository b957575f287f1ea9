"""Helpers shared by the end-to-end support modules and suites."""

import os
import signal
import subprocess


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
