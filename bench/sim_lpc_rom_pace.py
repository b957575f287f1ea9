#!/usr/bin/python3
"""Figures for the simulated LPC17xx boot ROM's line-rate pacing (sim/lpc_rom.py).

Prints how long an R of 9000 bytes and a W of 9000 bytes (echo off) take,
unpaced and paced at 115200 and 38400 baud, next to the time the characters
that crossed the pty need on a wire (10 bits each); and, when lpc21isp is
installed, how long it takes to flash a 16 KB image at 115200 baud.  Bounded:
every wait has a time-out and the simulator is stopped by its process id.
"""

import binascii
import json
import os
import random
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(os.environ.get("SIM_DIR") or os.path.join(HERE, "..", "sim"), "lpc_rom.py")
SIZE = 9000
STAGING = 0x10001000
TIMEOUT = 60.0


class Port:
    def __init__(self, path):
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        self.buf = b""

    def send(self, data):
        view = memoryview(data)
        deadline = time.monotonic() + TIMEOUT
        while view:
            _, ready, _ = select.select([], [self.fd], [], max(0, deadline - time.monotonic()))
            if not ready:
                raise RuntimeError("port stopped accepting data")
            view = view[os.write(self.fd, view):]

    def line(self):
        deadline = time.monotonic() + TIMEOUT
        while b"\r\n" not in self.buf:
            ready, _, _ = select.select([self.fd], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                raise RuntimeError("no line from the simulator")
            self.buf += os.read(self.fd, 4096)
        line, _, self.buf = self.buf.partition(b"\r\n")
        return line


def control(path, *words):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(TIMEOUT)
        s.connect(path)
        s.sendall((" ".join(words) + "\n").encode())
        buf = b""
        while not buf.endswith(b"\n"):
            chunk = s.recv(65536)
            if not chunk:
                break
            buf += chunk
    return json.loads(buf)


def transfers(port, data):
    port.send(b"?")
    port.line()
    port.send(b"Synchronized\r\n14746\r\nA 0\r\n")
    while port.line() != b"0":
        pass
    start = time.monotonic()
    port.send(b"R %d %d\r\n" % (0x2000, SIZE))
    assert port.line() == b"0"
    got = 0
    while got < SIZE:
        group = b""
        for _ in range(20):
            group += binascii.a2b_uu(port.line())
            if got + len(group) >= SIZE:
                break
        port.line()
        port.send(b"OK\r\n")
        got += len(group)
    read_s = time.monotonic() - start

    start = time.monotonic()
    port.send(b"W %d %d\r\n" % (STAGING, SIZE))
    assert port.line() == b"0"
    for g in range(0, SIZE, 900):
        group = data[g:g + 900]
        text = b"".join(binascii.b2a_uu(group[i:i + 45], backtick=True).rstrip(b"\n") + b"\r\n"
                        for i in range(0, len(group), 45))
        port.send(text + b"%d\r\n" % sum(group))
        if port.line() != b"OK":
            raise RuntimeError("write rejected")
    write_s = time.monotonic() - start
    return read_s, write_s


def start_sim(workdir, pace):
    link = os.path.join(workdir, "tty")
    ctl = os.path.join(workdir, "ctl")
    proc = subprocess.Popen(["/usr/bin/python3", SIM, "--link", link, "--control", ctl,
                             "--pace", str(pace)], stdout=subprocess.PIPE, text=True)
    ready, _, _ = select.select([proc.stdout], [], [], TIMEOUT)
    if not ready or not json.loads(proc.stdout.readline()).get("ready"):
        stop_sim(proc)
        raise RuntimeError("simulator did not start")
    return proc, link, ctl


def stop_sim(proc):
    if proc.poll() is None:
        os.kill(proc.pid, 15)
        try:
            proc.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            os.kill(proc.pid, 9)
            proc.wait(timeout=TIMEOUT)
    proc.stdout.close()


def measure(pace, data):
    workdir = tempfile.mkdtemp(prefix="lpc_rom_bench_")
    proc, link, ctl = start_sim(workdir, pace)
    try:
        port = Port(link)
        try:
            before = control(ctl, "status")
            read_s, write_s = transfers(port, data)
            after = control(ctl, "status")
        finally:
            os.close(port.fd)
        moved = (after["bytes_in"] - before["bytes_in"], after["bytes_out"] - before["bytes_out"])
        return read_s, write_s, moved
    finally:
        stop_sim(proc)
        shutil.rmtree(workdir, True)


def lpc21isp_seconds(pace):
    if not shutil.which("lpc21isp"):
        return None
    workdir = tempfile.mkdtemp(prefix="lpc_rom_bench_")
    proc, link, _ = start_sim(workdir, pace)
    try:
        fw = os.path.join(workdir, "fw.bin")
        with open(fw, "wb") as f:
            f.write(bytes(random.Random(1).getrandbits(8) for _ in range(16384)))
        start = time.monotonic()
        result = subprocess.run(["lpc21isp", "-bin", fw, link, "115200", "14746"],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, timeout=TIMEOUT * 3)
        seconds = time.monotonic() - start
        return seconds if result.returncode == 0 else None
    finally:
        stop_sim(proc)
        shutil.rmtree(workdir, True)


def main():
    data = bytes(random.Random(2).getrandbits(8) for _ in range(SIZE))
    print("lpc_rom pacing: R and W of %d bytes, echo off" % SIZE)
    for pace in (0, 115200, 38400):
        read_s, write_s, (cin, cout) = measure(pace, data)
        wire = "" if not pace else "  (on a wire: %d chars in = %.3f s, %d out = %.3f s)" % (
            cin, cin * 10 / pace, cout, cout * 10 / pace)
        print("%-8s R %.3f s   W %.3f s%s" % (pace or "unpaced", read_s, write_s, wire))
    for pace in (0, 115200):
        seconds = lpc21isp_seconds(pace)
        if seconds is not None:
            print("lpc21isp 16 KB image, %-8s %.2f s" % (pace or "unpaced", seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
