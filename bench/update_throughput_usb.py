#!/usr/bin/python3
"""Figures for -U over emulated USB (sim/usb_modules.py): how fast the built Updater moves a
firmware image into a simulated module, against the protocol's pacing bound and against the
emulator's own round-trip floor.

- pacing bound: packets 1 ms apart, 22 packets per 512-byte chunk (20 DATA, SUM, WRITE);
- round-trip floor: every upgrade packet waits for its answer, so no program can beat one
  emulated round trip per packet. The floor is measured on the same bus with the stream driver
  (tests/drivers/usb_stream_driver): a 2-byte magic query written, its 2-byte answer read, one
  at a time; the time includes the driver's command pipe, so the floor is if anything too high.
  How much so is printed beside it: two commands that do not touch the bus ("inits") timed the
  same way. The floor is printed as measured, pipe included. It is a floor for a program that
  writes, then reads: each of the two transfers ends with an empty reap, which the emulator holds
  for up to 1 ms. A program whose read is already pending when it writes (the link's reader) has
  the answer land in that read and pays one empty reap a packet, so it can come in under this
  floor.

Printed per run: the firmware phase (from "Transferring firmware block" to "Transferred" as the
lines arrive), KB/s, ratio to the pacing bound, milliseconds per packet and their ratio to the
floor (goal: within 1.2 x). The module must hold the image byte for byte.

    sudo bench/update_throughput_usb.py [--runs N] [--size BYTES]

Needs root, umockdev and the build (UPDATER_BIN, else build/Updater). The Updater runs as a user
id without a password entry with HOME in a temporary directory, in a network namespace without
interfaces; every process started is stopped by its id and every wait is bounded.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(ROOT, "sim"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
os.environ.setdefault("UPDATER_BIN", os.path.join(ROOT, "build", "Updater"))

from support import common  # noqa: E402
import mkbird  # noqa: E402
from support import usb  # noqa: E402

SERIAL = "0F5849A1"
BLOCK_SIZE = 512
PACKETS_PER_CHUNK = (BLOCK_SIZE + 25) // 26 + 2
PACING_S = 0.001
BOUND = BLOCK_SIZE / (PACKETS_PER_CHUNK * PACING_S)
RUN_TIMEOUT = 300
FLOOR_ROUNDS = 300


class Cleanups:
    """Stands in for a test case: keeps what the helpers want undone, undoes it in reverse."""

    def __init__(self):
        self.calls = []

    def addCleanup(self, function, *args, **kwargs):
        self.calls.append((function, args, kwargs))

    def run(self):
        while self.calls:
            function, args, kwargs = self.calls.pop()
            try:
                function(*args, **kwargs)
            except Exception as error:  # a cleanup failing must not hide the others
                print("cleanup: %s" % error, file=sys.stderr)


def timed_lines(proc, lines):
    for raw in iter(proc.stdout.readline, b""):
        lines.append((time.monotonic(), raw.decode(errors="replace").rstrip("\n")))


def round_trip_floor(cleanups, bus):
    driver = usb.Driver(cleanups, bus, "usb_stream_driver")
    opened = driver("open " + SERIAL)
    if not opened.get("open"):
        raise RuntimeError("stream driver could not open the module: %r" % opened)
    times = []
    for _ in range(FLOOR_ROUNDS):
        start = time.monotonic()
        driver("write AD00")
        answer = driver("read 2 1000")
        times.append(time.monotonic() - start)
        if answer.get("err") not in (0, None):
            raise RuntimeError("magic query unanswered: %r" % answer)
    pipe = []
    for _ in range(FLOOR_ROUNDS):
        start = time.monotonic()
        driver("inits")
        driver("inits")
        pipe.append(time.monotonic() - start)
    driver("close")
    driver.stop()
    return statistics.median(times), statistics.median(pipe)


def one_run(size, work):
    cleanups = Cleanups()
    try:
        home = os.path.join(work, "home")
        dump = os.path.join(work, "dump")
        for directory in (home, dump):
            os.makedirs(directory)
            os.chown(directory, common.RUN_UID, common.RUN_UID)
        image = bytes((i * 131 + (i >> 9)) & 0xFF for i in range(size))
        image += b"FWINFO build=4321 version=3.2.1\0"
        bird = os.path.join(work, "fw.bird")
        with open(bird, "wb") as f:
            f.write(mkbird.make([mkbird.loader_block(0x10000000, bytes(range(256)) * 2),
                                 mkbird.firmware_block(0, image),
                                 mkbird.info_block(build=4321, version="3.2.1", serial=int(SERIAL, 16),
                                                   model="Osprey")]))
        os.chmod(bird, 0o644)
        bus = usb.UsbBus(cleanups, "--dump-dir", dump,
                             *usb.module_arg(serial=SERIAL, model=19, block_size=BLOCK_SIZE, reboot_ms=300,
                                                 heartbeat_ms=0),
                             run_as=common.RUN_UID)
        floor, pipe = round_trip_floor(cleanups, bus)
        command = common.updater_command(["-U", "-d", SERIAL, "-f", bird, "-u", "http://127.0.0.1:9/cgi/u"],
                                             env=dict(bus.updater_env(), HOME=home),
                                             enter=common.in_namespace)
        lines = []
        start = time.monotonic()
        proc = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        reader = threading.Thread(target=timed_lines, args=(proc, lines))
        reader.start()
        try:
            proc.wait(timeout=RUN_TIMEOUT)
        finally:
            reader.join(timeout=10)
        total = time.monotonic() - start
        if proc.returncode != 0:
            raise RuntimeError("Updater ended with %d: %s\n%s" % (proc.returncode, "\n".join(t for _, t in lines),
                                                                proc.stderr.read().decode(errors="replace")))
        proc.stderr.close()
        begin = next(t for t, text in lines if text.startswith("Transferring firmware block 1 "))
        end = next(t for t, text in lines if t > begin and text.startswith("Transferred "))
        bus("dump " + SERIAL)
        with open(os.path.join(dump, SERIAL, "firmware-00000000.bin"), "rb") as f:
            if f.read() != image:
                raise RuntimeError("the simulator's firmware differs from the image sent")
        return end - begin, total, floor, pipe, len(image)
    finally:
        cleanups.run()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--size", type=int, default=64 * 1024)
    args = parser.parse_args()
    if os.geteuid() != 0 or not usb.HAVE_UMOCKDEV:
        print("needs root and umockdev", file=sys.stderr)
        return 77
    print("firmware image %d bytes, block size %d, pacing bound %.1f KB/s (%d packets per chunk, %.0f ms apart)"
          % (args.size, BLOCK_SIZE, BOUND / 1000, PACKETS_PER_CHUNK, PACING_S * 1000))
    for run in range(1, args.runs + 1):
        work = tempfile.mkdtemp(prefix="update_usb_bench.")
        os.chmod(work, 0o755)
        try:
            phase, total, floor, pipe, length = one_run(args.size, work)
        finally:
            shutil.rmtree(work, ignore_errors=True)
        packets = (length + BLOCK_SIZE - 1) // BLOCK_SIZE * PACKETS_PER_CHUNK
        per_packet = phase / packets
        print("run %d: firmware phase %.2f s, %.1f KB/s, ratio to the pacing bound %.3f; %.2f ms per packet, "
              "emulator round trip %.2f ms (of which the driver's command pipe %.2f ms), ratio to that floor %.2f; "
              "whole -U %.2f s"
              % (run, phase, length / phase / 1000, length / phase / BOUND, per_packet * 1000, floor * 1000,
                 pipe * 1000, per_packet / floor, total))
    return 0


if __name__ == "__main__":
    sys.exit(main())
