#!/usr/bin/python3
"""Figures for LPC recovery (-U -t RECOVER) by the built Updater against the simulated LPC17xx
boot ROM with the datasheet's flash times and the line paced at 115200 baud.

Prints, for images of a few sizes, the run's wall time, the characters that crossed the line
each way, and the lower bound a perfect host could reach: the busier direction's characters at
10 bits each plus the chip's own flash time (erase of 30 sectors, 1 ms per 256 bytes copied), as
a share of the measured time. The bird file is given with -f (no update server; the server URL
is a closed port on 127.0.0.1). Bounded: every run has a time-out and the simulator is stopped
by its process id.

    bench/recovery_lpc_bench.py --updater build/Updater [--sizes 40960,65536,131072]
"""

import argparse
import json
import os
import random
import select
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SIM_DIR = os.environ.get("SIM_DIR") or os.path.join(HERE, "..", "sim")
sys.path.insert(0, SIM_DIR)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import mkbird  # noqa: E402
from support.common import unix_request  # noqa: E402

CHIP = (0x12345678, 0x9ABCDEF0, 0x0F1E2D3C, 0x4B5A6978)
BAUD = 115200
ERASE_S = 30 * 0.100          # datasheet typical: 100 ms per sector, 30 sectors
PROGRAM_S_PER_256 = 0.001
PIECE = 4096
RUN_TIMEOUT = 300
START_TIMEOUT = 20


def control(path, line):
    return json.loads(unix_request(path, line, 10))


def copied_bytes(size):
    """What the copies move: whole 4096-byte pieces, the last one rounded up to 256..4096."""
    full, rest = divmod(size, PIECE)
    last = next((n for n in (256, 512, 1024, 4096) if n >= rest), rest) if rest else 0
    return full * PIECE + last


def run_once(updater, work, size):
    image = bytes(random.Random(size).getrandbits(8) for _ in range(size))
    blocks = [mkbird.info_block(build=1, version="1.0.0", serial=0x0012ABCD, model="Osprey"),
              mkbird.firmware_block(0, image), mkbird.firmware_block(0x7F000, b"\0\0\0\0")]
    bird = os.path.join(work, "image.bird")
    with open(bird, "wb") as f:
        f.write(mkbird.make(blocks, fingerprint=CHIP))
    link, ctl = os.path.join(work, "tty"), os.path.join(work, "ctl")
    sim = subprocess.Popen(["/usr/bin/python3", os.path.join(SIM_DIR, "lpc_rom.py"), "--link", link,
                            "--control", ctl, "--on-close", "keep", "--timing", "datasheet",
                            "--pace", str(BAUD), "--serial", *[str(w) for w in CHIP]],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        ready, _, _ = select.select([sim.stdout], [], [], START_TIMEOUT)
        if not ready:
            raise RuntimeError("simulator did not start")
        sim.stdout.readline()
        env = {"HOME": work, "PATH": "/usr/bin:/bin"}
        started = time.monotonic()
        run = subprocess.run([updater, "-U", "-t", "RECOVER", "-s", link, "-f", bird,
                              "-u", "http://127.0.0.1:9/cgi/u"], env=env, capture_output=True, text=True,
                             timeout=RUN_TIMEOUT)
        elapsed = time.monotonic() - started
        status = control(ctl, "status")
        flash_path = os.path.join(work, "flash.bin")
        control(ctl, "dump " + flash_path)
        with open(flash_path, "rb") as f:
            matches = f.read(size) == image
    finally:
        if sim.poll() is None:
            os.kill(sim.pid, signal.SIGTERM)
            sim.wait(timeout=15)
        sim.stdout.close()
    wire = max(status["bytes_in"], status["bytes_out"]) * 10.0 / BAUD
    flash = ERASE_S + copied_bytes(size) / 256 * PROGRAM_S_PER_256
    bound = wire + flash
    return {"size": size, "exit": run.returncode, "flash matches": matches, "seconds": elapsed,
            "to chip": status["bytes_in"], "from chip": status["bytes_out"], "wire s": wire,
            "flash s": flash, "bound s": bound, "share": bound / elapsed}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--updater", required=True)
    parser.add_argument("--sizes", default="40960,65536,131072")
    args = parser.parse_args()
    print("%8s %4s %5s %8s %9s %9s %7s %7s %7s %6s" % ("bytes", "exit", "exact", "seconds", "to chip",
                                                        "from chip", "wire s", "flash s", "bound s", "share"))
    for size in (int(n) for n in args.sizes.split(",")):
        with tempfile.TemporaryDirectory(prefix="recovery-bench.") as work:
            r = run_once(os.path.abspath(args.updater), work, size)
        print("%8d %4d %5s %8.2f %9d %9d %7.2f %7.2f %7.2f %5.0f%%" % (
            r["size"], r["exit"], "yes" if r["flash matches"] else "NO", r["seconds"], r["to chip"],
            r["from chip"], r["wire s"], r["flash s"], r["bound s"], 100 * r["share"]), flush=True)


if __name__ == "__main__":
    main()
