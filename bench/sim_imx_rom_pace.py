#!/usr/bin/python3
"""Figures for the simulated i.MX boot ROM's line-rate pacing (sim/imx_rom.py).

Prints how long the simulator takes to answer an 11520-byte READ_REGISTER and
to take an 11520-byte WRITE_FILE, unpaced and paced.  At 115200 baud with 10
bits a character, 11520 bytes need one second on the line.  Bounded: every
wait has a time-out and the simulator is stopped by its process id.
"""

import os
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(os.environ.get("SIM_DIR") or os.path.join(HERE, "..", "sim"), "imx_rom.py")
SIZE = 11520
TIMEOUT = 20.0


def command(kind, address=0, fmt=0x20, count=0):
    return struct.pack(">BBIBIIB", kind, kind, address, fmt, count, 0, 0)


def receive(fd, count):
    data = b""
    deadline = time.monotonic() + TIMEOUT
    while len(data) < count:
        ready, _, _ = select.select([fd], [], [], max(0, deadline - time.monotonic()))
        if not ready:
            raise RuntimeError("only %d of %d bytes arrived" % (len(data), count))
        data += os.read(fd, count - len(data))
    return data


def send(fd, data):
    view = memoryview(data)
    deadline = time.monotonic() + TIMEOUT
    while view:
        _, ready, _ = select.select([], [fd], [], max(0, deadline - time.monotonic()))
        if not ready:
            raise RuntimeError("port stopped accepting data")
        view = view[os.write(fd, view):]


def measure(options):
    workdir = tempfile.mkdtemp(prefix="imx_rom_bench_")
    link = os.path.join(workdir, "tty")
    proc = subprocess.Popen(["/usr/bin/python3", SIM, "--link", link] + options,
                            stdout=subprocess.PIPE, text=True)
    try:
        ready, _, _ = select.select([proc.stdout], [], [], TIMEOUT)
        if not ready or not proc.stdout.readline().startswith("imx_rom ready"):
            raise RuntimeError("simulator did not start")
        fd = os.open(link, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        try:
            start = time.monotonic()
            send(fd, command(0x01, 0x1000, count=SIZE))
            receive(fd, 4 + SIZE)
            read_s = time.monotonic() - start

            start = time.monotonic()
            send(fd, command(0x04, 0x1000, count=SIZE) + bytes(SIZE))
            receive(fd, 8)
            write_s = time.monotonic() - start
        finally:
            os.close(fd)
        return read_s, write_s
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(timeout=TIMEOUT)
        proc.stdout.close()
        shutil.rmtree(workdir, True)


def main():
    line_s = SIZE * 10 / 115200
    print("imx_rom pacing: %d bytes, %.3f s on a 115200-baud line" % (SIZE, line_s))
    for name, options in (("unpaced", []), ("--pace", ["--pace"]),
                          ("--pace --pace-input", ["--pace", "--pace-input"])):
        read_s, write_s = measure(options)
        print("%-22s read reply %.3f s (%6.0f B/s)   write taken %.3f s (%6.0f B/s)"
              % (name, read_s, SIZE / read_s, write_s, SIZE / write_s))
    return 0


if __name__ == "__main__":
    sys.exit(main())
