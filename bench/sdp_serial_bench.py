#!/usr/bin/python3
"""Figures for the serial i.MX download: Serial_SDPLoader against imx_uart.

Writes the same image (256 KiB by default) into the simulated i.MX boot ROM
(sim/imx_rom.py) paced at 115200 baud in both directions, once through
SDPLoader over Serial_SDPLoader (bench/sdp_serial_bench) and once with
imx_uart from Debian's imx-usb-loader, checks the simulator's memory after
each, and prints both times, their ratio and the wire bound.  A fresh
simulator serves each run.  Every wait has a time-out; the simulators are
stopped by their process id.  Nothing here is a pass/fail test.
"""

import argparse
import json
import os
import random
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
LINE_RATE = 115200
BITS_PER_BYTE = 10
LOAD_ADDRESS = 0x00910000
IMX_UART_CONFIG = "mx6_sim\nhid,1024,0x910000,0x10000000,1G,0x00900000,0x40000\n"
START_TIMEOUT = 10.0
STOP_TIMEOUT = 10.0


class Rom:
    def __init__(self, sim_dir, workdir):
        self.link = os.path.join(workdir, "ttyIMX")
        self.dump_dir = os.path.join(workdir, "dump")
        self.proc = subprocess.Popen(
            ["/usr/bin/python3", os.path.join(sim_dir, "imx_rom.py"), "--link", self.link,
             "--dump-dir", self.dump_dir, "--pace", "--pace-input",
             "--banner", "program started\\r\\n"],
            stdout=subprocess.PIPE, text=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], START_TIMEOUT)
        if not ready or not self.proc.stdout.readline().startswith("imx_rom ready"):
            self.stop()
            raise RuntimeError("simulator did not start")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=STOP_TIMEOUT)
        self.proc.stdout.close()

    def memory_at(self, address):
        """Stops the simulator and returns what its dump holds at address."""
        self.stop()
        with open(os.path.join(self.dump_dir, "state.json")) as f:
            state = json.load(f)
        for region in state["regions"]:
            if region["address"] == address:
                with open(os.path.join(self.dump_dir, region["file"]), "rb") as f:
                    return f.read()
        return b""


def run_timed(argv, timeout):
    start = time.monotonic()
    try:
        done = subprocess.run(argv, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None, time.monotonic() - start
    return done, time.monotonic() - start


def bench_loader(tool, sim_dir, workdir, image_path, data, timeout):
    rom = Rom(sim_dir, workdir)
    try:
        done, elapsed = run_timed([tool, rom.link, "0x%X" % LOAD_ADDRESS, "0x%X" % LOAD_ADDRESS,
                                   image_path], timeout)
    finally:
        memory = rom.memory_at(LOAD_ADDRESS)
    if done is None:
        return {"error": "did not finish within %d s" % timeout}
    figures = dict(item.split("=") for item in done.stdout.split())
    figures = {key: int(value) for key, value in figures.items()}
    figures["whole"] = elapsed
    figures["verified"] = memory[:len(data)] == data
    return figures


def bench_imx_uart(sim_dir, workdir, image_path, data, timeout):
    rom = Rom(sim_dir, workdir)
    config = os.path.join(workdir, "job.conf")
    with open(config, "w") as f:
        f.write(IMX_UART_CONFIG)
        f.write("%s:load 0x%08x,jump 0x%08x\n" % (image_path, LOAD_ADDRESS, LOAD_ADDRESS))
    try:
        done, elapsed = run_timed(["imx_uart", "-n", rom.link, config], timeout)
    finally:
        memory = rom.memory_at(LOAD_ADDRESS)
    if done is None:
        return {"error": "did not finish within %d s" % timeout}
    # imx_uart appends its image vector table behind the file and writes both at once
    return {"whole": elapsed, "written": len(memory), "verified": memory[:len(data)] == data}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", default=os.path.join(HERE, "..", "build", "bench", "sdp_serial_bench"),
                        help="path of the built sdp_serial_bench")
    parser.add_argument("--sim-dir", default=os.path.join(HERE, "..", "sim"))
    parser.add_argument("--size", type=int, default=256 * 1024, help="image size in bytes")
    args = parser.parse_args()
    if not os.access(args.tool, os.X_OK):
        print("sdp_serial_bench not found at %s: build the project first" % args.tool)
        return 2

    data = random.Random(args.size).randbytes(args.size)
    wire_rate = LINE_RATE / BITS_PER_BYTE
    wire_time = args.size / wire_rate
    timeout = int(wire_time * 3 + 30)
    workdir = tempfile.mkdtemp(prefix="sdp_serial_bench_")
    try:
        image_path = os.path.join(workdir, "image.bin")
        with open(image_path, "wb") as f:
            f.write(data)
        ours = bench_loader(os.path.abspath(args.tool), args.sim_dir, tempfile.mkdtemp(dir=workdir),
                            image_path, data, timeout)
        theirs = None
        if shutil.which("imx_uart"):
            theirs = bench_imx_uart(args.sim_dir, tempfile.mkdtemp(dir=workdir), image_path, data, timeout)
    finally:
        shutil.rmtree(workdir, True)

    print("image: %d bytes into the simulated i.MX boot ROM, paced at %d baud both ways"
          % (args.size, LINE_RATE))
    print("wire bound: %.2f KB/s (%d bits a byte), %.2f s for the image"
          % (wire_rate / 1000, BITS_PER_BYTE, wire_time))
    if "error" in ours:
        print("Serial_SDPLoader: %s" % ours["error"])
        return 1
    write_s = ours["write_ms"] / 1000
    transfer_s = (ours["write_ms"] + ours["start_ms"]) / 1000
    print("Serial_SDPLoader: writeLoader %.2f s (%.2f KB/s, %.1f%% of the wire rate), startLoader %.2f s,"
          " port set-up %.2f s, whole run %.2f s; result %d, memory %s"
          % (write_s, args.size / write_s / 1000, 100 * wire_time / write_s, ours["start_ms"] / 1000,
             ours["init_ms"] / 1000, ours["whole"], ours["result"],
             "verified" if ours["verified"] else "DIFFERS"))
    if theirs is None:
        print("imx_uart: not installed, no comparison")
        return 0
    if "error" in theirs:
        print("imx_uart: %s" % theirs["error"])
        return 1
    print("imx_uart: whole run %.2f s (%.2f KB/s; it writes %d bytes: the image and its vector table),"
          " memory %s"
          % (theirs["whole"], args.size / theirs["whole"] / 1000, theirs["written"],
             "verified" if theirs["verified"] else "DIFFERS"))
    print("ratio Serial_SDPLoader / imx_uart: write and start %.3f, whole runs %.3f"
          " (the whole run includes the loader's %.2f s port set-up pause)"
          % (transfer_s / theirs["whole"], ours["whole"] / theirs["whole"], ours["init_ms"] / 1000))
    return 0


if __name__ == "__main__":
    sys.exit(main())
