#!/usr/bin/python3
"""Figures for LPC recovery (-U -t RECOVER -o RATE) by the built Updater at each rate, against its
own bound and against lpc21isp on the same simulated LPC17xx boot ROM (datasheet flash times,
the line paced at the rate in force). Figures only: nothing here passes or fails.

For each rate, runs times:
- the Updater recovering a 64 KiB image given with -f: identified at 115200, switched to RATE
  with the chip's rate command, full erase, write, compare of every copy, start. Its bound is the
  time a perfect host needs for the same exchange: at every pace the busier direction's
  characters at 10 bits each, plus the chip's flash time (30 sectors erased, 1 ms per 256 bytes
  copied). "M s" is what the compare of every copy added: the compare lines, their answers and
  the host's turn-around, taken from the simulator's command times.
- lpc21isp -bin writing the same image at RATE into a fresh chip (it erases only the sectors the
  image covers).

    bench/recovery_lpc_rates.py --updater build/Updater [--rates 57600,115200,230400] [--runs 3]

Bounded: every run has a time-out and the simulator is stopped by its process id.
"""

import argparse
import os
import random
import select
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from recovery_lpc_bench import CHIP, SIM_DIR, control, copied_bytes, mkbird  # noqa: E402

IDENTIFICATION_RATE = 115200
ERASE_S = 30 * 0.100
PROGRAM_S_PER_256 = 0.001
SIZE = 64 * 1024
RUN_TIMEOUT = 300
START_TIMEOUT = 20
LPC21ISP = "/usr/bin/lpc21isp"


def start_sim(work, pace, *extra):
    link, ctl = os.path.join(work, "tty"), os.path.join(work, "ctl")
    sim = subprocess.Popen(["/usr/bin/python3", os.path.join(SIM_DIR, "lpc_rom.py"), "--link", link,
                            "--control", ctl, "--timing", "datasheet", "--pace", str(pace),
                            "--serial", *[str(w) for w in CHIP], *extra],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    ready, _, _ = select.select([sim.stdout], [], [], START_TIMEOUT)
    if not ready:
        stop_sim(sim)
        raise RuntimeError("simulator did not start")
    sim.stdout.readline()
    return sim, link, ctl


def stop_sim(sim):
    if sim.poll() is None:
        os.kill(sim.pid, signal.SIGTERM)
        try:
            sim.wait(timeout=15)
        except subprocess.TimeoutExpired:
            os.kill(sim.pid, signal.SIGKILL)
            sim.wait(timeout=15)
    sim.stdout.close()


def flash_holds(ctl, work, image):
    path = os.path.join(work, "flash.bin")
    control(ctl, "dump " + path)
    with open(path, "rb") as f:
        return f.read(len(image))[32:] == image[32:]  # lpc21isp rewrites vector word 7


def compare_seconds(history, rate):
    """What the compares added: each M line's own time on the wire, and the time from the chip
    having it to the next line less that line's own wire time (the answer and the turn-around)."""
    added = 0.0
    for entry, following in zip(history, history[1:]):
        if entry["line"].startswith("M "):
            own = (len(entry["line"]) + 2) * 10.0 / rate
            after = following["at"] - entry["at"] - (len(following["line"]) + 2) * 10.0 / rate
            added += own + max(after, 0.0)
    return added


def updater_run(updater, work, image, rate):
    blocks = [mkbird.info_block(build=1, version="1.0.0", serial=0x0012ABCD, model="Osprey"),
              mkbird.firmware_block(0, image), mkbird.firmware_block(0x7F000, b"\0\0\0\0")]
    bird = os.path.join(work, "image.bird")
    with open(bird, "wb") as f:
        f.write(mkbird.make(blocks, fingerprint=CHIP))
    sim, link, ctl = start_sim(work, IDENTIFICATION_RATE, "--on-close", "keep")
    try:
        env = {"HOME": work, "PATH": "/usr/bin:/bin"}
        started = time.monotonic()
        run = subprocess.run([updater, "-U", "-t", "RECOVER", "-s", link, "-f", bird, "-o", str(rate),
                              "-u", "http://127.0.0.1:9/cgi/u"], env=env, capture_output=True, text=True,
                             timeout=RUN_TIMEOUT)
        elapsed = time.monotonic() - started
        status = control(ctl, "status")
        history = control(ctl, "history timed")["history"]
        exact = flash_holds(ctl, work, image)
    finally:
        stop_sim(sim)
    wire = sum(max(chars) * 10.0 / int(pace) for pace, chars in status["chars_by_pace"].items() if int(pace))
    bound = wire + ERASE_S + copied_bytes(len(image)) / 256 * PROGRAM_S_PER_256
    return {"exit": run.returncode, "exact": exact, "seconds": elapsed, "bound": bound,
            "compare": compare_seconds(history, rate),
            "compares": sum(1 for h in history if h["line"].startswith("M "))}


def lpc21isp_run(work, image, rate):
    path = os.path.join(work, "image.bin")
    with open(path, "wb") as f:
        f.write(image)
    sim, link, ctl = start_sim(work, rate)
    try:
        started = time.monotonic()
        run = subprocess.run([LPC21ISP, "-bin", path, link, str(rate), "14746"], capture_output=True,
                             timeout=RUN_TIMEOUT)
        elapsed = time.monotonic() - started
        exact = flash_holds(ctl, work, image)
    finally:
        stop_sim(sim)
    return {"exit": run.returncode, "exact": exact, "seconds": elapsed}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--updater", required=True)
    parser.add_argument("--rates", default="57600,115200,230400")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    image = bytes(random.Random(SIZE).getrandbits(8) for _ in range(SIZE))
    print("%7s %3s %-9s %4s %5s %8s %8s %6s %3s %7s %9s %6s" % (
        "rate", "run", "program", "exit", "exact", "seconds", "bound s", "share", "M", "M s", "lpc21isp", "ratio"))
    for rate in (int(r) for r in args.rates.split(",")):
        for number in range(1, args.runs + 1):
            with tempfile.TemporaryDirectory(prefix="lpc-rates.") as work:
                ours = updater_run(os.path.abspath(args.updater), work, image, rate)
            with tempfile.TemporaryDirectory(prefix="lpc-rates.") as work:
                theirs = lpc21isp_run(work, image, rate)
            print("%7d %3d %-9s %4d %5s %8.2f %8.2f %5.1f%% %3d %7.3f %9.2f %6.3f" % (
                rate, number, "Updater", ours["exit"], "yes" if ours["exact"] else "NO", ours["seconds"],
                ours["bound"], 100 * ours["bound"] / ours["seconds"], ours["compares"], ours["compare"],
                theirs["seconds"], ours["seconds"] / theirs["seconds"]), flush=True)
            if theirs["exit"] != 0 or not theirs["exact"]:
                print("        lpc21isp exit %d, flash %s" % (theirs["exit"], "exact" if theirs["exact"] else "NOT exact"))


if __name__ == "__main__":
    main()
