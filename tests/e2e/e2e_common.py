"""Helpers shared by the end-to-end support modules and suites."""

import os
import signal
import socket
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


def unix_request(path, line, timeout):
    """Sends one line to the Unix control socket at path; returns the answer up to its newline,
    or what came before the simulator closed the connection."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as sock:
        sock.settimeout(timeout)
        sock.connect(path)
        sock.sendall(line.encode() + b"\n")
        answer = b""
        while not answer.endswith(b"\n"):
            chunk = sock.recv(1 << 20)
            if not chunk:
                break
            answer += chunk
    return answer
